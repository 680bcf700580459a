# Keyframe evaluation and project open/save (Google Benchmark); editor_project_python.py times
# Python's json on the project file the benchmark leaves behind.
add_executable(qm_bench_editor_model ${CMAKE_CURRENT_LIST_DIR}/editor_model_bench.cpp)
target_link_libraries(qm_bench_editor_model PRIVATE qm_editor_model benchmark::benchmark qm_warnings)
