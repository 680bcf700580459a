# Reading a source movie's video and audio samples.
list(APPEND QM_SOURCES ${CMAKE_CURRENT_LIST_DIR}/asset_reader.cpp)
