qm_add_test(qm_render_timing_tests LABEL unit SOURCES ${CMAKE_CURRENT_LIST_DIR}/render_timing_test.cpp LIBS qm_engine)
