# The background media analysis, the timecode under the playhead and the clip sync run.
list(APPEND QM_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/editor_analysis.cpp ${CMAKE_CURRENT_LIST_DIR}/editor_analysis.h
  ${CMAKE_CURRENT_LIST_DIR}/editor_sync_run.cpp ${CMAKE_CURRENT_LIST_DIR}/editor_sync_run.h)
