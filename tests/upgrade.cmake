# The UPGRADE protocol: the emulated device, the host entity, and the update of a running module.
qc_test(NAME test_upgrade_device SOURCES test_upgrade_device.cpp LABELS unit)
qc_test(NAME test_upgrade_entity SOURCES test_upgrade_entity.cpp LABELS unit tsan)
qc_test(NAME e2e_update SOURCES e2e_update.cpp LABELS e2e netns TIMEOUT 300)
qc_test(NAME test_upgrade_reconnect SOURCES test_upgrade_reconnect.cpp LABELS slow)
qc_test(NAME e2e_update_usb SOURCES e2e_update_usb.cpp WRAPPER umockdev-wrapper LABELS e2e usb tsan)
qc_test(NAME test_upgrade_update SOURCES test_upgrade_update.cpp LABELS unit netns)
