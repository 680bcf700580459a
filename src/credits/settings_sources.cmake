# The credits settings record, the strip's data model and the keying of pictures.
list(APPEND QM_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/credits_settings.cpp
  ${CMAKE_CURRENT_LIST_DIR}/credits_strip.cpp
  ${CMAKE_CURRENT_LIST_DIR}/logo_keying.cpp
)
