qc_test(NAME test_fifo SOURCES test_fifo.cpp LABELS unit tsan)
qc_test(NAME test_registry SOURCES test_registry.cpp LABELS unit tsan)
qc_test(NAME test_packetlog SOURCES test_packetlog.cpp LABELS unit tsan)
