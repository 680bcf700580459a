qm_add_test(transcoder_test LABEL peer
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/transcoder_formats_test.cpp ${CMAKE_CURRENT_LIST_DIR}/transcoder_runs_test.cpp
          ${CMAKE_CURRENT_LIST_DIR}/hevc_alpha_test.cpp
          ${CMAKE_CURRENT_LIST_DIR}/transcoder_test_media.cpp
  LIBS qm_engine)
qm_add_test(transcoder_pixels_test LABEL peer
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/transcoder_pixels_test.cpp ${CMAKE_CURRENT_LIST_DIR}/transcoder_test_media.cpp
  LIBS qm_engine)
# Convert runs of qm-bench killed midway or started side by side.
qm_add_test(killed_transcode_test LABEL peer
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/killed_transcode_test.cpp ${CMAKE_CURRENT_LIST_DIR}/transcoder_test_media.cpp
  LIBS qm_engine)
target_compile_definitions(killed_transcode_test PRIVATE QM_BENCH="$<TARGET_FILE:qm-bench>")
add_dependencies(killed_transcode_test qm-bench)
