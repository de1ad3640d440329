# Trace lines of link sharing, inside a private network namespace.
qc_test(NAME test_trace_sharing SOURCES test_trace_sharing.cpp LABELS unit netns tsan TIMEOUT 60)
