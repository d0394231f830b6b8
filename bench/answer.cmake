# answer_bench: our own time from the ask click to the first typed character, beyond the design's
# waits and page fetches, against qelvora-sites on a free loopback port.
add_executable(answer_bench ${CMAKE_CURRENT_LIST_DIR}/answer_bench.cpp)
target_link_libraries(answer_bench PRIVATE qelvora_form qelvora_sites qelvora_test_support
                                           benchmark::benchmark)
target_compile_definitions(answer_bench PRIVATE
  QELVORA_SITES_PROGRAM="$<TARGET_FILE:qelvora-sites>"
  QELVORA_SITES_DATA_DIR="${PROJECT_SOURCE_DIR}/sites/data")
