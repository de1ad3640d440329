# Discovery, the object layer (Link, Module) and the entities, against the module emulator.
qc_test(NAME test_discovery SOURCES test_discovery.cpp LABELS unit netns)
qc_test(NAME test_discovery_slow SOURCES test_discovery_slow.cpp LABELS netns slow)
qc_test(NAME test_object_link SOURCES test_object_link.cpp LABELS e2e tsan)
qc_test(NAME test_entity SOURCES test_entity.cpp LABELS e2e tsan)
qc_test(NAME test_entity_i2c SOURCES test_entity_i2c.cpp LABELS e2e tsan)
qc_test(NAME test_object_tcp SOURCES test_object_tcp.cpp LABELS e2e netns tsan)
qc_test(NAME test_object_slow SOURCES test_object_slow.cpp LABELS e2e netns slow tsan)
qc_test(NAME test_discovery_usb SOURCES test_discovery_usb.cpp WRAPPER umockdev-wrapper LABELS e2e usb tsan)
