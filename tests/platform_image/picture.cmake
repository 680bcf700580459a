qm_add_test(picture_test LABEL unit
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/picture_test.cpp
  LIBS qm_platform_image ZLIB::ZLIB)
