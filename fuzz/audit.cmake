bastor_add_fuzzer(fuzz_verify_lines ${CMAKE_CURRENT_LIST_DIR}/fuzz_verify_lines.cpp)
bastor_add_fuzzer(fuzz_verify_parallel ${CMAKE_CURRENT_LIST_DIR}/fuzz_verify_parallel.cpp)
