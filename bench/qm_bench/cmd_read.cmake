target_link_libraries(qm-bench PRIVATE qm_platform_media)
