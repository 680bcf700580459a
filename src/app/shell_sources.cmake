# The window and its commands need the desktop layer (widgets, icons).
if(TARGET qm_platform_desktop)
  list(APPEND QM_SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/mode_setting.h ${CMAKE_CURRENT_LIST_DIR}/mode_setting.cpp
    ${CMAKE_CURRENT_LIST_DIR}/main_window.h ${CMAKE_CURRENT_LIST_DIR}/main_window.cpp)
  list(APPEND QM_PUBLIC_LIBS qm_platform_desktop qm_editor Qt6::Widgets)
endif()
