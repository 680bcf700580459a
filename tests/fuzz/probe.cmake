# The source probe (opening, stream information, codec choice) over arbitrary file contents.
qm_add_fuzzer(qm_probe SOURCES ${CMAKE_CURRENT_LIST_DIR}/probe.cpp LIBS qm_engine)
