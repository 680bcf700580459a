qm_add_test(qm_editor_timeline_tests LABEL gui
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/geometry_test.cpp ${CMAKE_CURRENT_LIST_DIR}/drag_test.cpp
          ${CMAKE_CURRENT_LIST_DIR}/panel_test.cpp ${CMAKE_CURRENT_LIST_DIR}/lanes_test.cpp
          ${CMAKE_CURRENT_LIST_DIR}/graph_test.cpp ${CMAKE_CURRENT_LIST_DIR}/stamps_test.cpp
  LIBS qm_editor_timeline Qt6::Test)
