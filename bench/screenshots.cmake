# The screenshot tool: the End Credits and Advanced Editor windows in the states a person checks.
add_executable(qm_screenshots ${CMAKE_CURRENT_LIST_DIR}/screenshots.cpp)
target_include_directories(qm_screenshots PRIVATE ${PROJECT_SOURCE_DIR}/tests)
target_link_libraries(qm_screenshots PRIVATE qm_app qm_credits_model_test_support qm_strip_test_support qm_test_support
                      Qt6::Test GTest::gtest GTest::gtest_main qm_warnings)
