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
