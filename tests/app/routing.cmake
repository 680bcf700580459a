qm_add_test(qm_app_routing_tests LABEL unit
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/open_file_router_test.cpp ${CMAKE_CURRENT_LIST_DIR}/single_instance_test.cpp
  LIBS qm_app Qt6::Test)
