qc_test(NAME test_base64 SOURCES test_base64.cpp LABELS unit)
qc_test(NAME test_server_client SOURCES test_server_client.cpp LABELS unit tsan)
qc_fuzz(NAME fuzz_base64 SOURCES fuzz/fuzz_base64.cpp CORPUS ${CMAKE_CURRENT_SOURCE_DIR}/fuzz/corpus_base64 SECONDS 20)
