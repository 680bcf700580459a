target_link_libraries(qm-bench PRIVATE qm_editor_views)
