qm_add_test(frame_reader_test LABEL peer SOURCES ${CMAKE_CURRENT_LIST_DIR}/frame_reader_test.cpp LIBS qm_engine)
