qm_add_test(qm_convert_views_tests LABEL gui
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/views_test.cpp ${CMAKE_CURRENT_LIST_DIR}/job_list_test.cpp
  LIBS qm_convert_views Qt6::Test)
