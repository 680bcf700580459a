# Random seeks with the editor's frame reader in long-GOP and intra-only sources (Google Benchmark).
add_executable(qm_bench_media_frame_reader ${CMAKE_CURRENT_LIST_DIR}/media_frame_reader_bench.cpp)
target_link_libraries(qm_bench_media_frame_reader PRIVATE qm_engine benchmark::benchmark qm_warnings)
