qm_add_test(editor_keyframe_test LABEL unit
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/keyframe_test.cpp
  LIBS qm_editor_model)
qm_add_test(editor_project_test LABEL unit
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/project_test.cpp
  LIBS qm_editor_model)
qm_add_test(editor_project_file_test LABEL unit
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/project_file_test.cpp
  LIBS qm_editor_model)
qm_add_test(editor_project_open_test LABEL unit
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/project_open_test.cpp
  LIBS qm_editor_model)
qm_add_test(editor_project_peer_test LABEL peer
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/project_peer_test.cpp
  LIBS qm_editor_model)
# The timeline's picture and sound.
qm_add_test(editor_clip_effects_test LABEL unit SOURCES ${CMAKE_CURRENT_LIST_DIR}/clip_effects_test.cpp LIBS qm_editor_model)
foreach(topic composition audio_mix)
  qm_add_test(editor_${topic}_peer_test LABEL peer SOURCES ${CMAKE_CURRENT_LIST_DIR}/${topic}_peer_test.cpp LIBS qm_editor_model)
endforeach()
qm_add_test(editor_project_export_peer_test LABEL peer
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/project_export_peer_test.cpp ${CMAKE_CURRENT_LIST_DIR}/../engine/transcoder_test_media.cpp
  LIBS qm_editor_model)
# An HEVC-with-alpha clip over another, where setup built the decoder of its alpha layer.
if(TARGET quillmere_hevc_alpha)
  qm_add_test(editor_hevc_alpha_composition_peer_test LABEL peer
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/hevc_alpha_composition_peer_test.cpp LIBS qm_editor_model)
  # It runs qm-bench render-frame as a user would.
  target_compile_definitions(editor_hevc_alpha_composition_peer_test PRIVATE QM_BENCH="$<TARGET_FILE:qm-bench>")
  add_dependencies(editor_hevc_alpha_composition_peer_test qm-bench)
endif()
# A stream whose picture size changes, drawn by qm-bench render-frame and export-project.
qm_add_test(editor_size_change_peer_test LABEL peer
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/size_change_peer_test.cpp LIBS qm_editor_model)
target_compile_definitions(editor_size_change_peer_test PRIVATE QM_BENCH="$<TARGET_FILE:qm-bench>")
add_dependencies(editor_size_change_peer_test qm-bench)
