qm_add_test(editor_documents_test LABEL unit
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/editor_documents_test.cpp
  LIBS qm_editor Qt6::Test)
