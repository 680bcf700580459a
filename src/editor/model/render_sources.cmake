# Pictures and sound of the timeline: effect chain, compositor, audio mix and project export.
list(APPEND QM_PUBLIC_LIBS qm_editor_sync qm_platform_raster Qt6::Gui)
list(APPEND QM_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/clip_effects.cpp ${CMAKE_CURRENT_LIST_DIR}/clip_effects.h
  ${CMAKE_CURRENT_LIST_DIR}/composition_renderer.cpp ${CMAKE_CURRENT_LIST_DIR}/composition_renderer.h
  ${CMAKE_CURRENT_LIST_DIR}/audio_mix.cpp ${CMAKE_CURRENT_LIST_DIR}/audio_mix.h
  ${CMAKE_CURRENT_LIST_DIR}/project_exporter.cpp ${CMAKE_CURRENT_LIST_DIR}/project_exporter.h)
# The per-pixel pass runs for every layer of every frame.
set_source_files_properties(${CMAKE_CURRENT_LIST_DIR}/clip_effects.cpp PROPERTIES COMPILE_OPTIONS "-O3;-fno-trapping-math")
