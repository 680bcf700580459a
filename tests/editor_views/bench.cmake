# qm-bench editor-view run as a program, the way scripts call it.
qm_add_test(qm_bench_editor_view_tests LABEL gui
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/bench_editor_view_test.cpp LIBS Qt6::Core)
target_compile_definitions(qm_bench_editor_view_tests PRIVATE QM_BENCH="$<TARGET_FILE:qm-bench>")
add_dependencies(qm_bench_editor_view_tests qm-bench)
