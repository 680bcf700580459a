# Runs of qm-bench into one folder: the names they take, and what the next run clears.
qm_add_test(run_names_test LABEL peer
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/run_names_test.cpp LIBS qm_core Qt6::Core)
target_compile_definitions(run_names_test PRIVATE QM_BENCH="$<TARGET_FILE:qm-bench>")
add_dependencies(run_names_test qm-bench)
