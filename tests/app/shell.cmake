qm_add_test(qm_app_shell_tests LABEL gui SOURCES ${CMAKE_CURRENT_LIST_DIR}/main_window_test.cpp LIBS qm_app Qt6::Test)
# The window put together with the real models: routing of opened files and the project commands.
qm_add_test(qm_app_credits_shell_tests LABEL gui
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/credits_shell_test.cpp
  LIBS qm_app qm_credits_model_test_support qm_strip_test_support Qt6::Test)
# The window with the real editor model: its mode, title, commands and unsaved-work question.
qm_add_test(qm_app_editor_shell_tests LABEL gui
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/editor_shell_test.cpp
  LIBS qm_app qm_credits_model_test_support Qt6::Test)
# Saving, packaging, opening and relinking through the real file panels.
qm_add_test(qm_app_document_panels_tests LABEL gui
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/document_panels_test.cpp
  LIBS qm_app qm_credits_model_test_support Qt6::Test)
