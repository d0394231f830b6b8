# The README's pictures, taken in an X server with a window manager (bench/screenshots.sh).
add_executable(window_shots ${CMAKE_CURRENT_LIST_DIR}/window_shots.cpp)
target_link_libraries(window_shots PRIVATE qelvora_app)
