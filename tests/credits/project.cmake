qm_add_test(qm_credits_project_tests LABEL unit
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/credits_project_test.cpp
  LIBS qm_credits)
