# The credits project reader over arbitrary "project.json" contents.
qm_add_fuzzer(qm_credits_project_read SOURCES ${CMAKE_CURRENT_LIST_DIR}/credits_project_read.cpp LIBS qm_credits)
