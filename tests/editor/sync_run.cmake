qm_add_test(editor_sync_run_test LABEL unit
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/editor_sync_run_test.cpp
  LIBS qm_editor Qt6::Test)
qm_add_test(editor_sync_peer_test LABEL peer
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/editor_sync_peer_test.cpp
  LIBS qm_editor qm_ltc_signal)
