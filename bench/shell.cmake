# The application shell's figures: CPU time of a long wait on the window thread, the time from
# process start to the shown main window, and resident memory after the welcome text.
add_executable(shell_wait ${CMAKE_CURRENT_LIST_DIR}/shell_wait.cpp)
target_link_libraries(shell_wait PRIVATE qelvora_form)
add_executable(shell_startup ${CMAKE_CURRENT_LIST_DIR}/shell_startup.cpp)
target_link_libraries(shell_startup PRIVATE qelvora_app)
