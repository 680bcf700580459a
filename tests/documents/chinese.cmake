qm_add_test(chinese_text_test LABEL unit
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/chinese_text_test.cpp
  LIBS qm_documents)
qm_add_test(chinese_converter_test LABEL unit
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/chinese_converter_test.cpp
  LIBS qm_documents)
qm_add_test(chinese_peer_test LABEL peer
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/chinese_peer_test.cpp
  LIBS qm_documents)
qm_add_test(chinese_document_test LABEL unit
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/chinese_document_test.cpp
  LIBS qm_documents)
