# Credits frames at 1080p and 4K, without effect and with glow, on one thread and on all
# (Google Benchmark; the one-thread rows show the work a frame takes whatever else runs).
add_executable(qm_bench_credits_frame ${CMAKE_CURRENT_LIST_DIR}/credits_frame_bench.cpp)
target_link_libraries(qm_bench_credits_frame PRIVATE qm_credits TBB::tbb benchmark::benchmark qm_warnings)
