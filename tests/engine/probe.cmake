qm_add_test(qm_probe_tests LABEL peer
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/probe_test.cpp ${CMAKE_CURRENT_LIST_DIR}/probe_hevc_alpha_test.cpp LIBS qm_engine)
qm_add_test(qm_probe_capabilities_tests LABEL unit SOURCES ${CMAKE_CURRENT_LIST_DIR}/probe_capabilities_test.cpp LIBS qm_engine)
