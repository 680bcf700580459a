qm_add_test(zip_archive_test LABEL unit
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/zip_archive_test.cpp
  LIBS qm_documents ZLIB::ZLIB)
qm_add_test(zip_peer_test LABEL peer
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/zip_peer_test.cpp
  LIBS qm_documents ZLIB::ZLIB)
