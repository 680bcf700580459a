qm_add_fuzzer(fuzz_project_reader SOURCES ${CMAKE_CURRENT_LIST_DIR}/fuzz_project_reader.cpp LIBS qm_editor_model)
