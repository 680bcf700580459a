# Credits projects and packages, and the model behind the End Credits mode: its state, inputs and
# strip; preview and playback; export; project files and packages.
list(APPEND QM_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/credits_project.cpp
  ${CMAKE_CURRENT_LIST_DIR}/credits_model.cpp
  ${CMAKE_CURRENT_LIST_DIR}/credits_playback.cpp
  ${CMAKE_CURRENT_LIST_DIR}/credits_export.cpp
  ${CMAKE_CURRENT_LIST_DIR}/credits_projects.cpp
)
# The model is a QObject.
set(CMAKE_AUTOMOC ON)
