# cli_bench: qelvora-ask --instant from process start to exit, one corpus question per answer
# source and a built-in one, against qelvora-sites on a free loopback port.
add_executable(cli_bench ${CMAKE_CURRENT_LIST_DIR}/cli_bench.cpp)
target_link_libraries(cli_bench PRIVATE qelvora_test_support benchmark::benchmark)
target_compile_definitions(cli_bench PRIVATE
  QELVORA_ASK_PROGRAM="$<TARGET_FILE:qelvora-ask>"
  QELVORA_SITES_PROGRAM="$<TARGET_FILE:qelvora-sites>")
add_dependencies(cli_bench qelvora-ask)
