qm_add_test(qm_media_damaged_source_tests LABEL peer
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/damaged_source_test.cpp
  LIBS qm_platform_media)
