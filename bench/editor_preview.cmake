# The editor's preview render of four 1080p layers, frame after frame as playback asks (Google Benchmark).
add_executable(qm_bench_editor_preview ${CMAKE_CURRENT_LIST_DIR}/editor_preview_bench.cpp)
target_link_libraries(qm_bench_editor_preview PRIVATE qm_editor benchmark::benchmark qm_warnings)
