# Settings, probing and pixel transfer.
list(APPEND QM_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/conversion_settings.cpp
  ${CMAKE_CURRENT_LIST_DIR}/media_info.cpp
  ${CMAKE_CURRENT_LIST_DIR}/pixel_transfer.cpp
)
list(APPEND QM_PRIVATE_LIBS PkgConfig::FFMPEG)

# Every program that links the engine compiles this one file itself, so its initialiser (the
# media capabilities core asks about) runs even where no other engine object is referenced.
add_library(qm_engine_capabilities INTERFACE)
target_sources(qm_engine_capabilities INTERFACE ${CMAKE_CURRENT_LIST_DIR}/media_info_capabilities.cpp)
list(APPEND QM_PUBLIC_LIBS qm_engine_capabilities)
