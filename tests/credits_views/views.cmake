qm_add_test(qm_credits_views_unit_tests LABEL unit
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/texts_test.cpp
  LIBS qm_credits_views)
qm_add_test(qm_credits_views_tests LABEL gui
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/views_test.cpp
  LIBS qm_credits_views qm_credits_model_test_support Qt6::Test)
