# The timeline's row arithmetic the panel and the model share.
list(APPEND QM_SOURCES ${CMAKE_CURRENT_LIST_DIR}/timeline_rows.cpp)
