# The Hap frame reader over arbitrary bytes, alone and through the decoder object.
qm_add_fuzzer(qm_hap_decode SOURCES ${CMAKE_CURRENT_LIST_DIR}/qm_hap_decode.cpp LIBS qm_codecs)
qm_add_fuzzer(qm_hap_decoder_decode SOURCES ${CMAKE_CURRENT_LIST_DIR}/qm_hap_decoder_decode.cpp LIBS qm_codecs)
