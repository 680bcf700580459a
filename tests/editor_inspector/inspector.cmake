qm_add_test(qm_editor_inspector_tests LABEL gui
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/controls_test.cpp ${CMAKE_CURRENT_LIST_DIR}/sections_test.cpp
  LIBS qm_editor_inspector Qt6::Test)
# The same tests with German number formats: typed and shown numbers must not take commas.
add_test(NAME qm_editor_inspector_tests_de_DE
  COMMAND sh ${CMAKE_CURRENT_LIST_DIR}/with_de_locale.sh $<TARGET_FILE:qm_editor_inspector_tests>)
set_tests_properties(qm_editor_inspector_tests_de_DE PROPERTIES LABELS gui TIMEOUT 600
  ENVIRONMENT "QT_QPA_PLATFORM=offscreen")
