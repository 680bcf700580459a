qm_add_test(transcoder_test LABEL peer
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/transcoder_formats_test.cpp ${CMAKE_CURRENT_LIST_DIR}/transcoder_runs_test.cpp
          ${CMAKE_CURRENT_LIST_DIR}/hevc_alpha_test.cpp
          ${CMAKE_CURRENT_LIST_DIR}/transcoder_test_media.cpp
  LIBS qm_engine)
qm_add_test(transcoder_pixels_test LABEL peer
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/transcoder_pixels_test.cpp ${CMAKE_CURRENT_LIST_DIR}/transcoder_test_media.cpp
  LIBS qm_engine)
