# Credits projects saved and packaged by whole qm-bench runs.
qm_add_test(qm_credits_project_run_tests LABEL peer
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/project_run_test.cpp LIBS qm_core)
target_compile_definitions(qm_credits_project_run_tests PRIVATE QM_BENCH="$<TARGET_FILE:qm-bench>")
add_dependencies(qm_credits_project_run_tests qm-bench)
