# fetch_bench: fetchPage throughput and peak memory on loopback (see bench/fetch_vs_curl.sh).
add_executable(fetch_bench ${CMAKE_CURRENT_LIST_DIR}/fetch_bench.cpp)
target_link_libraries(fetch_bench PRIVATE qelvora_web)
