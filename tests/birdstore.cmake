# BIRD images, attribute files and the firmware store.
qc_test(NAME test_bird SOURCES test_bird.cpp LABELS unit)
qc_test(NAME test_keyvalue SOURCES test_keyvalue.cpp LABELS unit tsan)
qc_test(NAME test_atomic_file SOURCES test_atomic_file.cpp LABELS unit)
qc_test(NAME test_store SOURCES test_store.cpp LABELS unit)
qc_test(NAME test_store_nomem SOURCES test_store_nomem.cpp LABELS unit)
qc_fuzz(NAME fuzz_bird SOURCES fuzz/fuzz_bird.cpp CORPUS ${CMAKE_CURRENT_SOURCE_DIR}/fuzz/corpus_bird)
qc_fuzz(NAME fuzz_keyvalue SOURCES fuzz/fuzz_keyvalue.cpp
        CORPUS ${CMAKE_CURRENT_SOURCE_DIR}/fuzz/corpus_keyvalue)
