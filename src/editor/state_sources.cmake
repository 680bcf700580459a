# State, undo, preview requests, the editing commands and the playhead.
list(APPEND QM_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/editor_model.cpp ${CMAKE_CURRENT_LIST_DIR}/editor_model.h
  ${CMAKE_CURRENT_LIST_DIR}/clip_editing.cpp
  ${CMAKE_CURRENT_LIST_DIR}/property_editing.cpp
  ${CMAKE_CURRENT_LIST_DIR}/keyframe_editing.cpp
  ${CMAKE_CURRENT_LIST_DIR}/track_editing.cpp
  ${CMAKE_CURRENT_LIST_DIR}/frame_grid.h
  ${CMAKE_CURRENT_LIST_DIR}/undo_history.cpp ${CMAKE_CURRENT_LIST_DIR}/undo_history.h
  ${CMAKE_CURRENT_LIST_DIR}/editor_preview.cpp ${CMAKE_CURRENT_LIST_DIR}/editor_preview.h
  ${CMAKE_CURRENT_LIST_DIR}/preview_render_loop.cpp ${CMAKE_CURRENT_LIST_DIR}/preview_render_loop.h)
