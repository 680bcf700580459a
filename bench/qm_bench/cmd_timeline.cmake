target_link_libraries(qm-bench PRIVATE qm_editor_timeline Qt6::Test)
