# Transcoder, frame providers, writers' use, frame reader and their rules.
list(APPEND QM_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/transcode_rules.cpp
  ${CMAKE_CURRENT_LIST_DIR}/output_naming.cpp
  ${CMAKE_CURRENT_LIST_DIR}/frame_batch.cpp
  ${CMAKE_CURRENT_LIST_DIR}/frame_feeder.cpp
  ${CMAKE_CURRENT_LIST_DIR}/render_feeder.cpp
  ${CMAKE_CURRENT_LIST_DIR}/codec_factories.cpp
  ${CMAKE_CURRENT_LIST_DIR}/transcoder.cpp
  ${CMAKE_CURRENT_LIST_DIR}/movie_writing.cpp
  ${CMAKE_CURRENT_LIST_DIR}/media_frame_reader.cpp
)
