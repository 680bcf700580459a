# The window put together from the modes' models and views.
if(TARGET qm_convert_views AND TARGET qm_credits_views)
  list(APPEND QM_SOURCES ${CMAKE_CURRENT_LIST_DIR}/app_shell.h ${CMAKE_CURRENT_LIST_DIR}/app_shell.cpp)
  list(APPEND QM_PUBLIC_LIBS qm_convert_views qm_credits_views)
endif()
