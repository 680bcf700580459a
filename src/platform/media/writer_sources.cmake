# Writing movies and image files.
list(APPEND QM_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/movie_writer.cpp
  ${CMAKE_CURRENT_LIST_DIR}/movie_audio_queue.cpp
  ${CMAKE_CURRENT_LIST_DIR}/image_file_writer.cpp
)
