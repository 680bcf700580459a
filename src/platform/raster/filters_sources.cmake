# Float planes and layers: blur, dilation, compositing, sampling, keying, the fused frame store.
# The per-pixel loops are the hot path of every rendered frame; without trapping maths the
# compiler may turn their clamps into min/max and vectorise them.
set(qm_raster_pixel_loops
  ${CMAKE_CURRENT_LIST_DIR}/gaussian_blur.cpp
  ${CMAKE_CURRENT_LIST_DIR}/dilation.cpp
  ${CMAKE_CURRENT_LIST_DIR}/compositing.cpp
  ${CMAKE_CURRENT_LIST_DIR}/layer_stack_store.cpp
  ${CMAKE_CURRENT_LIST_DIR}/sampling.cpp
  ${CMAKE_CURRENT_LIST_DIR}/key_out.cpp
  ${CMAKE_CURRENT_LIST_DIR}/blend_modes.cpp
)
set_source_files_properties(${qm_raster_pixel_loops} PROPERTIES COMPILE_OPTIONS "-O3;-fno-trapping-math")
list(APPEND QM_SOURCES ${CMAKE_CURRENT_LIST_DIR}/parallel_rows.cpp ${qm_raster_pixel_loops})
