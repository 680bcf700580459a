qm_add_test(editor_documents_test LABEL unit
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/editor_documents_test.cpp
  LIBS qm_editor Qt6::Test)
qm_add_test(editor_output_peer_test LABEL peer
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/editor_output_peer_test.cpp
  LIBS qm_editor Qt6::Test)
qm_add_test(editor_key_monitor_test LABEL gui
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/editor_key_monitor_test.cpp
  LIBS qm_editor Qt6::Widgets Qt6::Test)
qm_add_test(editor_playback_sound_peer_test LABEL peer
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/editor_playback_sound_peer_test.cpp
  LIBS qm_editor Qt6::Test)
# Whole runs of qm-bench killed midway.
qm_add_test(editor_killed_run_test LABEL peer
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/killed_run_test.cpp LIBS Qt6::Core)
target_compile_definitions(editor_killed_run_test PRIVATE QM_BENCH="$<TARGET_FILE:qm-bench>")
add_dependencies(editor_killed_run_test qm-bench)
