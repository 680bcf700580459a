qm_add_test(editor_sync_loading_peer_test LABEL peer
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/audio_load_test.cpp
  LIBS qm_editor_sync)
