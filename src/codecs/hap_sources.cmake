# Block textures, the Hap frame container and the Hap frame objects.
list(APPEND QM_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/texture_codec.cpp
  ${CMAKE_CURRENT_LIST_DIR}/texture_codec_sse41.cpp
  ${CMAKE_CURRENT_LIST_DIR}/block_compress_sse41.cpp
  ${CMAKE_CURRENT_LIST_DIR}/hap_frame.cpp
  ${CMAKE_CURRENT_LIST_DIR}/hap_codec.cpp
)
set_source_files_properties(${CMAKE_CURRENT_LIST_DIR}/texture_codec_sse41.cpp PROPERTIES COMPILE_OPTIONS -msse4.1)
# Never fused multiply-adds: the vector compressors must round exactly as the scalar library does.
set_source_files_properties(${CMAKE_CURRENT_LIST_DIR}/block_compress_sse41.cpp
  PROPERTIES COMPILE_OPTIONS "-msse4.1;-O3;-ffp-contract=off")
# The block compressors are the hot loop of every GPU-codec export.
set_source_files_properties(${CMAKE_CURRENT_LIST_DIR}/texture_codec.cpp PROPERTIES COMPILE_OPTIONS -O3)
