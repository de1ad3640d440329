qc_test(NAME test_fifo SOURCES test_fifo.cpp LABELS unit tsan)
