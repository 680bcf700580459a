# The viewer's repaint at 1920 x 1080 beside a bare drawImage of its preview (Google Benchmark).
add_executable(qm_bench_editor_viewer ${CMAKE_CURRENT_LIST_DIR}/editor_viewer_bench.cpp
  ${CMAKE_CURRENT_LIST_DIR}/offscreen_bench_main.cpp)
target_link_libraries(qm_bench_editor_viewer PRIVATE qm_editor_views benchmark::benchmark qm_warnings)
