# Hap throughput (Google Benchmark) and the Hap quality table against libavcodec's encoder.
add_library(qm_bench_hap_support STATIC ${CMAKE_CURRENT_LIST_DIR}/codecs_hap_photos.cpp)
target_link_libraries(qm_bench_hap_support PUBLIC qm_platform_media qm_lavc_hap PRIVATE PkgConfig::STB qm_warnings)

add_executable(qm_bench_hap ${CMAKE_CURRENT_LIST_DIR}/codecs_hap_bench.cpp)
target_link_libraries(qm_bench_hap PRIVATE qm_codecs qm_bench_hap_support benchmark::benchmark TBB::tbb qm_warnings)

add_executable(qm_hap_quality ${CMAKE_CURRENT_LIST_DIR}/codecs_hap_quality.cpp)
target_link_libraries(qm_hap_quality PRIVATE qm_codecs qm_bench_hap_support qm_warnings)
