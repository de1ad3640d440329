qc_test(NAME test_error SOURCES test_error.cpp LABELS unit)
