# The updater's operations: downloads, build lists, discovery and the command dispatch.
qc_test(NAME e2e_download SOURCES e2e_download.cpp LABELS e2e tsan)
qc_test(NAME e2e_ops SOURCES e2e_ops.cpp LABELS e2e)
qc_test(NAME test_updater SOURCES test_updater.cpp LABELS unit tsan)
qc_test(NAME test_updater_tables SOURCES test_updater_tables.cpp LABELS unit)
qc_test(NAME test_updater_choices SOURCES test_updater_choices.cpp LABELS unit)
qc_test(NAME e2e_discover SOURCES e2e_discover.cpp LABELS e2e netns tsan)
qc_test(NAME e2e_discover_usb SOURCES e2e_discover_usb.cpp WRAPPER umockdev-wrapper LABELS e2e usb tsan)
qc_test(NAME e2e_failure_lines SOURCES e2e_failure_lines.cpp LABELS e2e netns TIMEOUT 300
        PROCESSORS 2)
