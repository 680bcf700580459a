# Raster filters at 4K: the blur across sigmas and the disc dilation (Google Benchmark).
add_executable(qm_bench_raster ${CMAKE_CURRENT_LIST_DIR}/raster_bench.cpp)
target_link_libraries(qm_bench_raster PRIVATE qm_platform_raster benchmark::benchmark qm_warnings)
