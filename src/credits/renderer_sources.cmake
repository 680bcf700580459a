# The roll: layout, timing, frames with effects and fades, and the export through the transcoder.
list(APPEND QM_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/credits_renderer.cpp
  ${CMAKE_CURRENT_LIST_DIR}/credits_exporter.cpp
)
