# The graph editor's paint over two hours of eased keyframes, an expanded layer's keyframe rows and
# one point-drag step (Google Benchmark), offscreen.
add_executable(qm_bench_editor_graph ${CMAKE_CURRENT_LIST_DIR}/editor_graph_bench.cpp
  ${CMAKE_CURRENT_LIST_DIR}/offscreen_bench_main.cpp)
target_link_libraries(qm_bench_editor_graph PRIVATE qm_editor_timeline benchmark::benchmark qm_warnings)
