# Exports by qm-bench of projects whose sound once stopped the run.
qm_add_test(sound_export_run_test LABEL peer
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/sound_export_run_test.cpp LIBS Qt6::Core)
target_compile_definitions(sound_export_run_test PRIVATE QM_BENCH="$<TARGET_FILE:qm-bench>")
add_dependencies(sound_export_run_test qm-bench)
