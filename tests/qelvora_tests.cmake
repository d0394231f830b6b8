# qelvora_add_tests(LIBS lib... [ENV VAR=value...]): one test program per test_*.cpp in the calling folder, each
# registered with ctest under the folder's name. A program that has
# no main of its own lists GTest::gtest_main among LIBS.
function(qelvora_add_tests)
  cmake_parse_arguments(ARG "" "" "LIBS;ENV" ${ARGN})
  get_filename_component(suite ${CMAKE_CURRENT_SOURCE_DIR} NAME)
  file(GLOB files CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/test_*.cpp)
  foreach(file ${files})
    get_filename_component(name ${file} NAME_WE)
    set(target ${suite}_${name})
    add_executable(${target} ${file})
    target_link_libraries(${target} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gmock)
    target_compile_definitions(${target} PRIVATE
      QELVORA_TEST_DATA_DIR="${QELVORA_TEST_DATA_DIR}"
      QELVORA_BINARY_DIR="${PROJECT_BINARY_DIR}")
    add_test(NAME ${suite}.${name} COMMAND ${target})
    set_tests_properties(${suite}.${name} PROPERTIES
      ENVIRONMENT "QT_QPA_PLATFORM=offscreen;${ARG_ENV}" TIMEOUT 300)
  endforeach()
endfunction()
