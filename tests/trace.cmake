qc_test(NAME test_trace SOURCES test_trace.cpp LABELS unit tsan TIMEOUT 60)
qc_test(NAME test_trace_usb SOURCES test_trace_usb.cpp WRAPPER umockdev-wrapper LABELS unit usb tsan)
