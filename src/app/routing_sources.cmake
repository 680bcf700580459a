list(APPEND QM_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/app_mode.cpp
  ${CMAKE_CURRENT_LIST_DIR}/open_file_router.cpp
  ${CMAKE_CURRENT_LIST_DIR}/quit_watchdog.cpp
  ${CMAKE_CURRENT_LIST_DIR}/single_instance.h
  ${CMAKE_CURRENT_LIST_DIR}/single_instance.cpp)
