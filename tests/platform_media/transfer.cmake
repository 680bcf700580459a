qm_add_test(qm_media_decoded_transfer_tests LABEL peer
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/decoded_transfer_test.cpp
  LIBS qm_engine qm_platform_media)
