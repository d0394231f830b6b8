# typing_bench: the cadence of the typing effect on the form's real timers, and the cost of one
# progress-title refresh with a 1 MiB transcript.
add_executable(typing_bench ${CMAKE_CURRENT_LIST_DIR}/typing_bench.cpp)
target_link_libraries(typing_bench PRIVATE qelvora_answer qelvora_form benchmark::benchmark)
