qm_add_test(qm_media_io_peer_tests LABEL peer
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/io_reader_test.cpp ${CMAKE_CURRENT_LIST_DIR}/io_writer_test.cpp
          ${CMAKE_CURRENT_LIST_DIR}/io_image_test.cpp ${CMAKE_CURRENT_LIST_DIR}/quicktime_channel_layout_test.cpp
  LIBS qm_platform_media)
