# Scaling policy: area averaging against bicubic at 25/50/75/150 %, quality (PSNR against a
# windowed-sinc resample of the lossless original) and speed. Prints a table.
add_executable(qm_bench_scaler_quality ${CMAKE_CURRENT_LIST_DIR}/scaler_quality.cpp)
target_link_libraries(qm_bench_scaler_quality PRIVATE qm_platform_media PkgConfig::FFMPEG qm_warnings)
