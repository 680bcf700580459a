qm_add_test(qm_app_routing_tests LABEL unit
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/open_file_router_test.cpp ${CMAKE_CURRENT_LIST_DIR}/single_instance_test.cpp
  LIBS qm_app Qt6::Test)
# The hand-over between two launches runs the application itself as the second one.
target_compile_definitions(qm_app_routing_tests PRIVATE QM_APP="$<TARGET_FILE:quillmere>")
add_dependencies(qm_app_routing_tests quillmere)
