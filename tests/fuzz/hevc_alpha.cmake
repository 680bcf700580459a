# The private decoders of HEVC alpha layers and of H.264 over arbitrary configurations and samples,
# where setup built them.
if(TARGET quillmere_hevc_alpha)
  qm_add_fuzzer(qm_hevc_alpha_decode SOURCES ${CMAKE_CURRENT_LIST_DIR}/qm_hevc_alpha_decode.cpp LIBS quillmere_hevc_alpha)
  qm_add_fuzzer(qm_h264_decode SOURCES ${CMAKE_CURRENT_LIST_DIR}/qm_h264_decode.cpp LIBS quillmere_hevc_alpha)
endif()
