# Pixel transfer per call against the same libswscale conversion called directly (Google Benchmark).
add_executable(qm_bench_pixel_transfer ${CMAKE_CURRENT_LIST_DIR}/pixel_transfer_bench.cpp)
target_link_libraries(qm_bench_pixel_transfer PRIVATE qm_engine benchmark::benchmark PkgConfig::FFMPEG qm_warnings)
