# Convert runs of qm-bench pinned to one processor.
qm_add_test(one_processor_test LABEL peer
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/one_processor_test.cpp ${CMAKE_CURRENT_LIST_DIR}/transcoder_test_media.cpp
  LIBS qm_engine)
target_compile_definitions(one_processor_test PRIVATE QM_BENCH="$<TARGET_FILE:qm-bench>")
add_dependencies(one_processor_test qm-bench)
