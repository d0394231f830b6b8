# qelvora_add_tests(TESTS name... LIBS library... [MAIN gtest|qt|widgets] [DEPENDS target...]
#                   [ENV VAR=value...])
# One test program per name (name.cpp in the calling folder), registered with ctest as
# <folder>.<name>. MAIN chooses the program's main(): GoogleTest's own (the default), or the one of
# tests/support that makes a QCoreApplication (qt) or a QApplication (widgets) first. Every program
# links the shared test support and knows where the build's programs and data are; DEPENDS names
# the programs a test runs, so that they are built before it.
function(qelvora_add_tests)
  cmake_parse_arguments(ARG "" "MAIN" "TESTS;LIBS;DEPENDS;ENV" ${ARGN})
  get_filename_component(suite ${CMAKE_CURRENT_SOURCE_DIR} NAME)
  if(NOT ARG_MAIN OR ARG_MAIN STREQUAL "gtest")
    set(main GTest::gtest_main)
  elseif(ARG_MAIN STREQUAL "qt")
    set(main qelvora_test_main)
  else()
    set(main qelvora_test_main_widgets)
  endif()
  foreach(name ${ARG_TESTS})
    set(target ${suite}_${name})
    add_executable(${target} ${name}.cpp)
    target_link_libraries(${target} PRIVATE ${ARG_LIBS} qelvora_test_support ${main} GTest::gtest
                                            GTest::gmock)
    target_compile_definitions(${target} PRIVATE
      QELVORA_TEST_DATA_DIR="${PROJECT_SOURCE_DIR}/tests/data"
      QELVORA_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
      QELVORA_BINARY_DIR="${PROJECT_BINARY_DIR}"
      QELVORA_VERSION="${PROJECT_VERSION}"
      QELVORA_SITES_PROGRAM="$<TARGET_FILE:qelvora-sites>"
      QELVORA_SITES_DATA_DIR="${PROJECT_SOURCE_DIR}/sites/data"
      QELVORA_ASK_PROGRAM="$<TARGET_FILE:qelvora-ask>"
      QELVORA_WINDOW_PROGRAM="$<TARGET_FILE:qelvora>")
    if(ARG_DEPENDS)
      add_dependencies(${target} ${ARG_DEPENDS})
    endif()
    add_test(NAME ${suite}.${name} COMMAND ${target})
    set_tests_properties(${suite}.${name} PROPERTIES
      ENVIRONMENT "QT_QPA_PLATFORM=offscreen;${ARG_ENV}" TIMEOUT 300)
  endforeach()
endfunction()
