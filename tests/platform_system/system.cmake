qm_add_test(qm_platform_system_tests LABEL unit
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/system_test.cpp ${CMAKE_CURRENT_LIST_DIR}/user_files_test.cpp
  LIBS qm_platform_system qm_core)
# A second process for the tests of saves and hidden names (a second window, a second run).
add_executable(qm_user_file_helper ${CMAKE_CURRENT_LIST_DIR}/user_file_helper.cpp)
target_link_libraries(qm_user_file_helper PRIVATE qm_platform_system qm_core qm_warnings)
add_dependencies(qm_platform_system_tests qm_user_file_helper)
target_compile_definitions(qm_platform_system_tests PRIVATE QM_USER_FILE_HELPER="$<TARGET_FILE:qm_user_file_helper>")
