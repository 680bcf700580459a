qm_add_test(qm_lgpl_tests LABEL unit
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/dxv_unpack_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/notchlc_decode_test.cpp
  LIBS quillmere_lgpl)
