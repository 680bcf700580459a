qm_add_test(editor_sync_timecode_test LABEL unit
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/timecode_test.cpp
  LIBS qm_editor_sync PkgConfig::FFMPEG)
