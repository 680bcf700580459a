qm_add_test(qm_credits_renderer_tests LABEL unit
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/credits_renderer_test.cpp ${CMAKE_CURRENT_LIST_DIR}/credits_frame_test.cpp
  LIBS qm_credits)
qm_add_test(qm_credits_export_tests LABEL peer
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/credits_export_test.cpp ${CMAKE_CURRENT_LIST_DIR}/../engine/transcoder_test_media.cpp
  LIBS qm_credits)
