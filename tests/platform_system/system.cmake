qm_add_test(qm_platform_system_tests LABEL unit
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/system_test.cpp ${CMAKE_CURRENT_LIST_DIR}/user_files_test.cpp
  LIBS qm_platform_system qm_core)
