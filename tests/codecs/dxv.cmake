# The DXV3 writer, DXV texture conversion, and the DXV and NotchLC frame objects.
qm_add_test(qm_dxv_tests LABEL unit
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/dxv_writer_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/dxv_texture_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/dxv_codec_test.cpp
  LIBS qm_codecs)
qm_add_test(qm_dxv_peer_tests LABEL peer
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/dxv_peer_test.cpp
  LIBS qm_codecs PkgConfig::FFMPEG)
