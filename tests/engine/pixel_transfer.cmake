qm_add_test(qm_pixel_transfer_tests LABEL unit SOURCES ${CMAKE_CURRENT_LIST_DIR}/pixel_transfer_test.cpp LIBS qm_engine PkgConfig::FFMPEG)
