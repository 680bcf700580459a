# Reading a source movie's video and audio samples; rate conversion of one channel of sound.
list(APPEND QM_SOURCES ${CMAKE_CURRENT_LIST_DIR}/asset_reader.cpp ${CMAKE_CURRENT_LIST_DIR}/mono_resampler.cpp)
