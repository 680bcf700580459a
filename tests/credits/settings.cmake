qm_add_test(qm_credits_settings_tests LABEL unit
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/credits_settings_test.cpp ${CMAKE_CURRENT_LIST_DIR}/logo_keying_test.cpp
  LIBS qm_credits)
