qm_add_test(qm_raster_tests LABEL unit SOURCES ${CMAKE_CURRENT_LIST_DIR}/raster_test.cpp LIBS qm_platform_raster)
qm_add_test(qm_raster_blend_tests LABEL unit SOURCES ${CMAKE_CURRENT_LIST_DIR}/blend_modes_test.cpp LIBS qm_platform_raster)
