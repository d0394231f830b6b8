# text_bench: throughput of the GBK text operations and of the markup clean-up chain.
add_executable(text_bench ${CMAKE_CURRENT_LIST_DIR}/text_bench.cpp)
target_link_libraries(text_bench PRIVATE qelvora_sources benchmark::benchmark)
