qm_add_test(qm_conversion_settings_tests LABEL unit SOURCES ${CMAKE_CURRENT_LIST_DIR}/settings_test.cpp LIBS qm_engine)
