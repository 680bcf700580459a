qm_add_test(editor_state_test LABEL unit
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/editor_state_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/editor_commands_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/editor_session_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/editor_activities_test.cpp
  LIBS qm_editor Qt6::Test)
qm_add_test(editor_preview_peer_test LABEL peer
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/editor_preview_peer_test.cpp
  LIBS qm_editor Qt6::Test)
