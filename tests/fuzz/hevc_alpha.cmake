# The private decoder of HEVC alpha layers over arbitrary configurations and samples, where setup
# built it.
if(TARGET quillmere_hevc_alpha)
  qm_add_fuzzer(qm_hevc_alpha_decode SOURCES ${CMAKE_CURRENT_LIST_DIR}/qm_hevc_alpha_decode.cpp LIBS quillmere_hevc_alpha)
endif()
