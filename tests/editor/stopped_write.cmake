# editor-script's project write told to stop by a signal.
qm_add_test(editor_stopped_write_test LABEL peer
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/stopped_write_test.cpp LIBS Qt6::Core)
target_compile_definitions(editor_stopped_write_test PRIVATE QM_BENCH="$<TARGET_FILE:qm-bench>")
add_dependencies(editor_stopped_write_test qm-bench)
