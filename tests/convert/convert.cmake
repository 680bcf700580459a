qm_add_test(qm_convert_model_tests LABEL unit
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/queue_intake_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/queue_settings_test.cpp
  LIBS qm_convert Qt6::Test)
qm_add_test(qm_convert_run_tests LABEL peer
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/queue_run_test.cpp
  LIBS qm_convert Qt6::Test)
qm_add_test(qm_convert_preview_tests LABEL peer
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/preview_test.cpp
  LIBS qm_convert Qt6::Test)
