# The fingerprint and the recovery of a module without firmware, on the real binary against the
# boot ROM emulators.
qc_test(NAME e2e_recovery SOURCES e2e_recovery.cpp LABELS e2e TIMEOUT 180)
