# Timecode, LTC reading, sound loading and alignment, and the sync report.
list(APPEND QM_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/timecode.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ltc_decoder.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ltc_scan.cpp
  ${CMAKE_CURRENT_LIST_DIR}/audio_loading.cpp
  ${CMAKE_CURRENT_LIST_DIR}/audio_aligner.cpp
  ${CMAKE_CURRENT_LIST_DIR}/media_analysis.cpp
  ${CMAKE_CURRENT_LIST_DIR}/clip_sync.cpp
  ${CMAKE_CURRENT_LIST_DIR}/sync_report.cpp
)
