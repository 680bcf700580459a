# cmake --install into a temporary prefix, checked with desktop-file-validate and xdg-mime.
add_test(NAME qm_install_test COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/install_test.sh ${CMAKE_BINARY_DIR})
set_tests_properties(qm_install_test PROPERTIES LABELS peer TIMEOUT 120)
