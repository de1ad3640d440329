qc_test(NAME test_platform SOURCES test_platform.cpp LABELS unit)
qc_test(NAME test_platform_threads SOURCES test_platform_threads.cpp LABELS unit tsan)
qc_test(NAME test_platform_files SOURCES test_platform_files.cpp LABELS unit)
qc_test(NAME test_skip_or_fail SOURCES test_skip_or_fail.cpp LABELS unit)
