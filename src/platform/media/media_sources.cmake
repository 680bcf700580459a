# Time, errors, pixel buffers and pools, FFmpeg mapping helpers and the source opener.
list(APPEND QM_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/media_time.cpp
  ${CMAKE_CURRENT_LIST_DIR}/media_error.cpp
  ${CMAKE_CURRENT_LIST_DIR}/pixel_buffer.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ffmpeg_internal.cpp
)
# Headers of this module include FFmpeg's (ffmpeg_internal.h), so its users see the include paths.
list(APPEND QM_PUBLIC_LIBS PkgConfig::FFMPEG)
list(APPEND QM_SOURCES ${CMAKE_CURRENT_LIST_DIR}/media_asset.cpp)
list(APPEND QM_SOURCES ${CMAKE_CURRENT_LIST_DIR}/media_capabilities.cpp)
