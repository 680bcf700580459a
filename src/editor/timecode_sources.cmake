# The timecode text the workspace's panels share.
list(APPEND QM_SOURCES ${CMAKE_CURRENT_LIST_DIR}/timecode_text.cpp ${CMAKE_CURRENT_LIST_DIR}/timecode_text.h)
