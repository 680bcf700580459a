qm_add_test(qm_platform_media_tests LABEL unit
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/media_time_test.cpp ${CMAKE_CURRENT_LIST_DIR}/pixel_buffer_test.cpp
  LIBS qm_platform_media)
qm_add_test(qm_platform_media_peer_tests LABEL peer
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/media_asset_test.cpp
  LIBS qm_platform_media)
