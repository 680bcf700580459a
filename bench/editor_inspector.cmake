# One curve-drag step and one scrub step of the inspector panel (Google Benchmark), offscreen.
add_executable(qm_bench_editor_inspector ${CMAKE_CURRENT_LIST_DIR}/editor_inspector_bench.cpp
  ${CMAKE_CURRENT_LIST_DIR}/offscreen_bench_main.cpp)
target_link_libraries(qm_bench_editor_inspector PRIVATE qm_editor_inspector benchmark::benchmark qm_warnings)
