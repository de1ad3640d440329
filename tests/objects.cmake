# Discovery, the object layer (Link, Module) and the entities, against the module emulator.
qc_test(NAME test_discovery SOURCES test_discovery.cpp LABELS unit netns)
qc_test(NAME test_discovery_slow SOURCES test_discovery_slow.cpp LABELS netns slow)
