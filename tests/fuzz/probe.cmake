# The source probe (opening, stream information, codec choice) over arbitrary file contents.
qm_add_fuzzer(qm_probe SOURCES ${CMAKE_CURRENT_LIST_DIR}/probe.cpp LIBS qm_engine)
# The HEVC alpha layer detection (hvcC records, parameter sets and SEI units in samples).
qm_add_fuzzer(qm_hevc_alpha_layer SOURCES ${CMAKE_CURRENT_LIST_DIR}/hevc_alpha_layer.cpp LIBS qm_platform_media)
