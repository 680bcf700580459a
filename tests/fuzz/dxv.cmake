# The DXV unpacking and texture conversion, and NotchLC decoding, over arbitrary bytes.
qm_add_fuzzer(qm_dxv_unpack SOURCES ${CMAKE_CURRENT_LIST_DIR}/qm_dxv_unpack.cpp LIBS qm_codecs quillmere_lgpl)
qm_add_fuzzer(qm_notchlc_decode SOURCES ${CMAKE_CURRENT_LIST_DIR}/qm_notchlc_decode.cpp LIBS quillmere_lgpl PkgConfig::FFMPEG)
