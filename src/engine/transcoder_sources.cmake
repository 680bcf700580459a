# Transcoder, frame providers, writers' use, frame reader and their rules.
list(APPEND QM_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/transcode_rules.cpp
  ${CMAKE_CURRENT_LIST_DIR}/output_naming.cpp
)
