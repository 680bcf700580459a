# The private decoder of HEVC alpha layers, where setup built it.
if(TARGET quillmere_hevc_alpha)
  qm_add_test(qm_hevc_alpha_tests LABEL peer
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/hevc_alpha_decoder_test.cpp
    LIBS quillmere_hevc_alpha PkgConfig::FFMPEG)
  target_compile_definitions(qm_hevc_alpha_tests PRIVATE QM_HEVC_ALPHA_LIBRARY="$<TARGET_FILE:quillmere_hevc_alpha>")
endif()
