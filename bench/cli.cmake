# cli_bench: qelvora-ask --instant from process start to exit, one corpus question per answer
# source and a built-in one, against qelvora-sites on a free loopback port.
if(TARGET qelvora-ask AND TARGET qelvora-sites)
  add_executable(cli_bench ${CMAKE_CURRENT_LIST_DIR}/cli_bench.cpp)
  target_link_libraries(cli_bench PRIVATE benchmark::benchmark Threads::Threads)
  target_include_directories(cli_bench PRIVATE ${PROJECT_SOURCE_DIR})
  target_compile_definitions(cli_bench PRIVATE
    QELVORA_ASK_PROGRAM="$<TARGET_FILE:qelvora-ask>"
    QELVORA_SITES_PROGRAM="$<TARGET_FILE:qelvora-sites>")
  add_dependencies(cli_bench qelvora-ask qelvora-sites)
endif()
