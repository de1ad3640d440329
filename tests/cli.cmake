# The updater's start-up, command line and console display.
qc_test(NAME e2e_cli SOURCES e2e_cli.cpp LABELS e2e)
qc_test(NAME test_options SOURCES test_options.cpp LABELS unit)
qc_test(NAME test_display SOURCES test_display.cpp LIBS util LABELS unit)
qc_test(NAME test_buildpath SOURCES test_buildpath.cpp LABELS unit)
qc_fuzz(NAME fuzz_options SOURCES fuzz/fuzz_options.cpp CORPUS ${CMAKE_CURRENT_SOURCE_DIR}/fuzz/corpus_options
        SECONDS 15)
