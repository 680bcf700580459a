target_link_libraries(qm-bench PRIVATE qm_editor_sync qm_editor qm_engine)
