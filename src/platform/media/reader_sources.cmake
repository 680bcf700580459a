# Reading a source movie's video and audio samples (shared opening and decoding, video, audio,
# decoded pictures to pixel buffers); rate conversion of one channel of sound.
list(APPEND QM_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/asset_reader.cpp
  ${CMAKE_CURRENT_LIST_DIR}/video_sample_reader.cpp
  ${CMAKE_CURRENT_LIST_DIR}/audio_sample_reader.cpp
  ${CMAKE_CURRENT_LIST_DIR}/frame_pictures.cpp
  ${CMAKE_CURRENT_LIST_DIR}/mono_resampler.cpp
)
# The one scaler set-up every picture conversion uses.
list(APPEND QM_SOURCES ${CMAKE_CURRENT_LIST_DIR}/scaler.cpp)
