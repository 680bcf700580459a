# Painting the End Credits preview (Google Benchmark), offscreen.
add_executable(qm_bench_credits_views ${CMAKE_CURRENT_LIST_DIR}/credits_views_bench.cpp
  ${CMAKE_CURRENT_LIST_DIR}/offscreen_bench_main.cpp)
target_link_libraries(qm_bench_credits_views PRIVATE qm_credits_views benchmark::benchmark qm_warnings)
