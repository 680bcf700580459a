# What rendered exports share: frame timing and the colour record.
list(APPEND QM_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/render_timing.cpp
  ${CMAKE_CURRENT_LIST_DIR}/rgb_color.cpp
)
