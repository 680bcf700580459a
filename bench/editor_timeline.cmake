# The timeline content's paint of a two-hour project and one move-drag step (Google Benchmark), offscreen.
add_executable(qm_bench_editor_timeline ${CMAKE_CURRENT_LIST_DIR}/editor_timeline_bench.cpp
  ${CMAKE_CURRENT_LIST_DIR}/offscreen_bench_main.cpp)
target_link_libraries(qm_bench_editor_timeline PRIVATE qm_editor_timeline benchmark::benchmark qm_warnings)
