qm_add_fuzzer(fuzz_zip_archive SOURCES ${CMAKE_CURRENT_LIST_DIR}/fuzz_zip_archive.cpp LIBS qm_documents)
qm_add_fuzzer(fuzz_docx_loader SOURCES ${CMAKE_CURRENT_LIST_DIR}/fuzz_docx_loader.cpp LIBS qm_documents)
