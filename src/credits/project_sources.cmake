# Credits projects and packages, and the model behind the End Credits mode.
list(APPEND QM_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/credits_project.cpp
  ${CMAKE_CURRENT_LIST_DIR}/credits_model.cpp
)
# The model is a QObject.
set(CMAKE_AUTOMOC ON)
