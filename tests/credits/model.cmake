add_library(qm_credits_model_test_support STATIC ${CMAKE_CURRENT_LIST_DIR}/model_test_support.cpp)
target_link_libraries(qm_credits_model_test_support PUBLIC qm_credits qm_test_support GTest::gtest PRIVATE qm_warnings)
qm_add_test(qm_credits_model_tests LABEL unit
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/credits_model_test.cpp
  LIBS qm_credits qm_credits_model_test_support Qt6::Test)
