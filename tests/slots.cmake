# Store slots, factory data and packet-log control of a Link, against the module emulator.
qc_test(NAME test_slots SOURCES test_slots.cpp LABELS e2e tsan)
qc_test(NAME test_factory SOURCES test_factory.cpp LABELS e2e tsan)
qc_test(NAME test_packetlogctl SOURCES test_packetlogctl.cpp LABELS e2e tsan)
