# The in-process unit tests: the logic over the stand-in seam. Built here
# for the native platform and by tests/win32 for Windows.
set(IMGSTRIP_UNIT_TEST_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/fake_os.cpp
  ${CMAKE_CURRENT_LIST_DIR}/codes_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/command_line_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/byte_file_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/run_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/fault_sweep_test.cpp)
