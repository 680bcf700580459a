# HEVC-with-alpha sources converted, where setup built the decoder of their alpha layer.
if(TARGET quillmere_hevc_alpha)
  qm_add_test(hevc_alpha_source_test LABEL peer
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/hevc_alpha_source_test.cpp ${CMAKE_CURRENT_LIST_DIR}/transcoder_test_media.cpp
    LIBS qm_engine)
endif()
