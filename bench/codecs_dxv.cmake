# DXV3 encode and decode throughput on natural photographs (Google Benchmark).
add_executable(qm_bench_dxv ${CMAKE_CURRENT_LIST_DIR}/codecs_dxv_bench.cpp)
target_link_libraries(qm_bench_dxv PRIVATE qm_codecs benchmark::benchmark TBB::tbb PkgConfig::STB qm_warnings)
