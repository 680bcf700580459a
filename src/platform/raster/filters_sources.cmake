# Float planes and layers: blur, dilation, compositing, sampling, keying, the fused frame store.
list(APPEND QM_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/parallel_rows.cpp
  ${CMAKE_CURRENT_LIST_DIR}/gaussian_blur.cpp
  ${CMAKE_CURRENT_LIST_DIR}/dilation.cpp
  ${CMAKE_CURRENT_LIST_DIR}/compositing.cpp
  ${CMAKE_CURRENT_LIST_DIR}/sampling.cpp
  ${CMAKE_CURRENT_LIST_DIR}/key_out.cpp
  ${CMAKE_CURRENT_LIST_DIR}/blend_modes.cpp
)
# The per-pixel loops are the hot path of every rendered frame; without trapping maths the
# compiler may turn their clamps into min/max and vectorise them.
set_source_files_properties(
  ${CMAKE_CURRENT_LIST_DIR}/gaussian_blur.cpp
  ${CMAKE_CURRENT_LIST_DIR}/dilation.cpp
  ${CMAKE_CURRENT_LIST_DIR}/compositing.cpp
  ${CMAKE_CURRENT_LIST_DIR}/sampling.cpp
  ${CMAKE_CURRENT_LIST_DIR}/key_out.cpp
  ${CMAKE_CURRENT_LIST_DIR}/blend_modes.cpp
  PROPERTIES COMPILE_OPTIONS "-O3;-fno-trapping-math")
