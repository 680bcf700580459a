# The video reader (container walks, the account of samples and pictures, decoding) over arbitrary
# file contents.
qm_add_fuzzer(qm_video_read SOURCES ${CMAKE_CURRENT_LIST_DIR}/video_read.cpp LIBS qm_platform_media)
