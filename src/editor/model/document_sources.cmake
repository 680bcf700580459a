list(APPEND QM_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/keyframe.cpp ${CMAKE_CURRENT_LIST_DIR}/keyframe.h
  ${CMAKE_CURRENT_LIST_DIR}/clip_transform.cpp ${CMAKE_CURRENT_LIST_DIR}/clip_transform.h
  ${CMAKE_CURRENT_LIST_DIR}/project.cpp ${CMAKE_CURRENT_LIST_DIR}/project.h
  ${CMAKE_CURRENT_LIST_DIR}/project_file.cpp
  ${CMAKE_CURRENT_LIST_DIR}/project_open.cpp)
