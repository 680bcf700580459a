# Block textures, the Hap frame container and the Hap frame objects.
qm_add_test(qm_texture_codec_tests LABEL unit
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/texture_codec_test.cpp
  LIBS qm_codecs)
qm_add_test(qm_hap_frame_tests LABEL unit
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/hap_frame_test.cpp
  LIBS qm_codecs Snappy::snappy)
qm_add_test(qm_hap_codec_tests LABEL unit
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/hap_codec_test.cpp
  LIBS qm_codecs)
qm_add_test(qm_hap_peer_tests LABEL peer
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/hap_peer_test.cpp
  LIBS qm_codecs qm_lavc_hap PkgConfig::FFMPEG)
