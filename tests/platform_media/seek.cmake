qm_add_test(qm_media_seek_tests LABEL peer
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/seek_test.cpp
  LIBS qm_platform_media)
