# Documents, the media bin, packaging, export, playback, the eyedropper and the key monitor.
list(APPEND QM_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/editor_documents.cpp
  ${CMAKE_CURRENT_LIST_DIR}/editor_media.cpp
  ${CMAKE_CURRENT_LIST_DIR}/editor_packaging.cpp ${CMAKE_CURRENT_LIST_DIR}/editor_packaging.h
  ${CMAKE_CURRENT_LIST_DIR}/editor_export.cpp ${CMAKE_CURRENT_LIST_DIR}/editor_export.h
  ${CMAKE_CURRENT_LIST_DIR}/editor_playback.cpp ${CMAKE_CURRENT_LIST_DIR}/editor_playback.h
  ${CMAKE_CURRENT_LIST_DIR}/editor_key_monitor.cpp ${CMAKE_CURRENT_LIST_DIR}/editor_key_monitor.h
  ${CMAKE_CURRENT_LIST_DIR}/editor_eyedropper.cpp ${CMAKE_CURRENT_LIST_DIR}/editor_eyedropper.h)
find_package(Qt6 REQUIRED COMPONENTS Multimedia)
list(APPEND QM_PRIVATE_LIBS Qt6::Multimedia)
