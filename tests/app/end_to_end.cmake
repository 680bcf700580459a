qm_add_test(qm_app_end_to_end_tests LABEL gui
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/end_to_end_test.cpp
  LIBS qm_app qm_convert_views Qt6::Test)
# The editor window against ffprobe and ffmpeg's decode of its export.
qm_add_test(qm_app_editor_end_to_end_tests LABEL peer TIMEOUT 600
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/editor_end_to_end_test.cpp
  LIBS qm_app qm_credits_model_test_support Qt6::Test)
