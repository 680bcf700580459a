qm_add_test(editor_sync_run_test LABEL unit
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/editor_sync_run_test.cpp
  LIBS qm_editor Qt6::Test)
