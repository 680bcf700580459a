# Convert runs of qm-bench with names near the file-name limit and folders moved during the run.
qm_add_test(output_names_test LABEL peer
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/output_names_test.cpp ${CMAKE_CURRENT_LIST_DIR}/transcoder_test_media.cpp
  LIBS qm_engine)
target_compile_definitions(output_names_test PRIVATE QM_BENCH="$<TARGET_FILE:qm-bench>")
add_dependencies(output_names_test qm-bench)
