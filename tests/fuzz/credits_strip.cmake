# Arbitrary bytes as a credits list, through the whole strip builder at a small width.
qm_add_fuzzer(qm_credits_strip_docx SOURCES ${CMAKE_CURRENT_LIST_DIR}/credits_strip.cpp LIBS qm_credits)
target_compile_definitions(qm_credits_strip_docx PRIVATE QM_FUZZ_EXTENSION=".docx")
qm_add_fuzzer(qm_credits_strip_pdf SOURCES ${CMAKE_CURRENT_LIST_DIR}/credits_strip.cpp LIBS qm_credits)
target_compile_definitions(qm_credits_strip_pdf PRIVATE QM_FUZZ_EXTENSION=".pdf")
