qm_add_test(qm_editor_views_tests LABEL gui
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/viewer_test.cpp ${CMAKE_CURRENT_LIST_DIR}/media_bin_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/sync_sheet_test.cpp ${CMAKE_CURRENT_LIST_DIR}/overlay_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/export_sheet_test.cpp
  LIBS qm_editor_views Qt6::Test)
