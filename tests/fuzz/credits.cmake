# Stored credits settings through the roll's timing and one small frame.
qm_add_fuzzer(fuzz_credits_settings SOURCES ${CMAKE_CURRENT_LIST_DIR}/fuzz_credits_settings.cpp LIBS qm_credits)
