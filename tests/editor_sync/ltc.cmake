pkg_check_modules(LIBLTC REQUIRED IMPORTED_TARGET ltc)
# libltc's encoder makes the signals and its decoder is the reference.
add_library(qm_ltc_signal STATIC ${CMAKE_CURRENT_LIST_DIR}/ltc_signal.cpp)
target_link_libraries(qm_ltc_signal PUBLIC PkgConfig::LIBLTC PRIVATE qm_warnings)
qm_add_test(editor_sync_ltc_peer_test LABEL peer
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/ltc_test.cpp
  LIBS qm_editor_sync qm_ltc_signal)
