add_library(qm_strip_test_support STATIC ${CMAKE_CURRENT_LIST_DIR}/strip_test_support.cpp)
target_link_libraries(qm_strip_test_support PUBLIC qm_credits qm_test_support GTest::gtest PRIVATE qm_warnings)
qm_add_test(qm_credits_text_tests LABEL unit
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/credits_text_test.cpp
  LIBS qm_credits qm_strip_test_support)
qm_add_test(qm_credits_pdf_tests LABEL peer
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/credits_pdf_test.cpp
  LIBS qm_credits qm_strip_test_support)
qm_add_test(qm_credits_ocr_tests LABEL peer
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/credits_ocr_test.cpp
  LIBS qm_credits qm_strip_test_support)
# Damaged Word and PDF lists through the builder and through qm-bench credits-strip.
qm_add_test(qm_credits_damage_tests LABEL peer
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/credits_damage_test.cpp
  LIBS qm_credits qm_strip_test_support)
target_compile_definitions(qm_credits_damage_tests PRIVATE QM_BENCH="$<TARGET_FILE:qm-bench>")
add_dependencies(qm_credits_damage_tests qm-bench)
