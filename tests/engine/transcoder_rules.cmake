qm_add_test(transcoder_rules_test LABEL unit SOURCES ${CMAKE_CURRENT_LIST_DIR}/transcoder_rules_test.cpp LIBS qm_engine)
