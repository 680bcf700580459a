# The LTC decoder over arbitrary samples; LTC reading and sound loading over arbitrary files.
qm_add_fuzzer(qm_ltc_decode SOURCES ${CMAKE_CURRENT_LIST_DIR}/qm_ltc_decode.cpp LIBS qm_editor_sync)
qm_add_fuzzer(qm_audio_load SOURCES ${CMAKE_CURRENT_LIST_DIR}/qm_audio_load.cpp LIBS qm_editor_sync PkgConfig::FFMPEG)
