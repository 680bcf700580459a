# libltc as the reference for qm-bench ltc: writes LTC test WAVs and times libltc's own decoder.
pkg_check_modules(LIBLTC IMPORTED_TARGET ltc)
if(LIBLTC_FOUND)
  add_executable(ltc-reference ${CMAKE_CURRENT_LIST_DIR}/ltc_reference.cpp)
  target_link_libraries(ltc-reference PRIVATE PkgConfig::LIBLTC qm_warnings)
endif()
