qm_add_test(qm_media_transport_packets_tests LABEL unit
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/transport_packets_test.cpp
  LIBS qm_platform_media)
