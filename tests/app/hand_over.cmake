# Files handed over by a second launch of the application, a process of its own, to the window
# with its real models and questions.
qm_add_test(qm_app_hand_over_tests LABEL gui
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/hand_over_test.cpp
  LIBS qm_app qm_credits_model_test_support Qt6::Test)
target_compile_definitions(qm_app_hand_over_tests PRIVATE QM_APP="$<TARGET_FILE:quillmere>")
add_dependencies(qm_app_hand_over_tests quillmere)
