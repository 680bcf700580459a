# The DXV3 writer, DXV texture conversion and the DXV and NotchLC frame objects.
list(APPEND QM_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/dxv_writer.cpp
  ${CMAKE_CURRENT_LIST_DIR}/dxv_texture.cpp
  ${CMAKE_CURRENT_LIST_DIR}/dxv_codec.cpp
  ${CMAKE_CURRENT_LIST_DIR}/notchlc_codec.cpp
)
