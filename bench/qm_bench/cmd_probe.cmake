target_link_libraries(qm-bench PRIVATE qm_engine nlohmann_json::nlohmann_json)
