qm_add_test(qm_platform_desktop_tests LABEL gui SOURCES ${CMAKE_CURRENT_LIST_DIR}/icons_test.cpp
  LIBS qm_platform_desktop)
