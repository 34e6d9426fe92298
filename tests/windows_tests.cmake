# The Windows build's own tests, run under Wine: the text rules of the Windows file layer, and
# zorvant.exe on real files (tests/windows/end_to_end.sh). The toolchain runs every Windows test
# program through tests/windows/wine-run.
if(NOT WIN32)
  return()
endif()

# Test discovery runs the test programs with a short time limit, which Wine's first start, the
# making of its folder, would overrun: the folder is made here, once.
execute_process(COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/windows/wine-run RESULT_VARIABLE wine_made)
if(NOT wine_made EQUAL 0)
  message(WARNING "Wine could not be started: the Windows tests will fail (run .ci/windows-setup)")
endif()

add_executable(zorvant_windows_text_tests windows/windows_text_test.cpp windows/windows_input_test.cpp)
target_link_libraries(zorvant_windows_text_tests PRIVATE zorvant_textfile GTest::gtest_main)
gtest_discover_tests(zorvant_windows_text_tests DISCOVERY_TIMEOUT 60)

add_executable(zorvant_test_helper windows/test_helper.cpp)
target_link_options(zorvant_test_helper PRIVATE -municode)

add_test(NAME windows.end_to_end
  COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/windows/end_to_end.sh
          $<TARGET_FILE:zorvant> $<TARGET_FILE:zorvant_test_helper>)
set_tests_properties(windows.end_to_end PROPERTIES TIMEOUT 300)

# What zorvant.exe carries for Windows: its version and names, and its manifest.
add_test(NAME windows.resources
  COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/windows/resources.sh
          $<TARGET_FILE:zorvant> ${CMAKE_RC_COMPILER} ${PROJECT_VERSION})
