qm_add_test(word_peer_test LABEL peer
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/word_peer_test.cpp
  LIBS qm_documents)
qm_add_test(word_reader_test LABEL unit
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/word_reader_test.cpp
  LIBS qm_documents ZLIB::ZLIB)
