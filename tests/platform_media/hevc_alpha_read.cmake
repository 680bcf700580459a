# HEVC with alpha through the source reader, where setup built the decoder of its alpha layer.
if(TARGET quillmere_hevc_alpha)
  qm_add_test(qm_hevc_alpha_read_tests LABEL peer
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/hevc_alpha_read_test.cpp
    LIBS qm_platform_media)
endif()
