qm_add_test(editor_sync_aligner_test LABEL peer
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/aligner_test.cpp
  LIBS qm_editor_sync)
