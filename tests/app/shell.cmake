if(TARGET qm_platform_desktop)
  qm_add_test(qm_app_shell_tests LABEL gui SOURCES ${CMAKE_CURRENT_LIST_DIR}/main_window_test.cpp LIBS qm_app Qt6::Test)
endif()
