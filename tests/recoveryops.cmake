# The fingerprint and the recovery of a module without firmware, on the real binary against the
# boot ROM emulators.
qc_test(NAME e2e_recovery SOURCES e2e_recovery.cpp LABELS e2e TIMEOUT 180 PROCESSORS 2)

# The i.MX road up to the started loader: the serial ROM emulator or the HID one (an emulated
# hidraw device under umockdev, reached through the real hidapi) in the test. The second
# program holds the run whose started loader never shows up on USB, which waits out the 15
# one-second attempts of the search.
if(NOT QC_FUZZ)
  qc_test(NAME e2e_recovery_imx SOURCES e2e_recovery_imx.cpp WRAPPER umockdev-wrapper LABELS e2e usb tsan TIMEOUT 120 PROCESSORS 2)
  qc_test(NAME e2e_recovery_imx_slow SOURCES e2e_recovery_imx.cpp WRAPPER umockdev-wrapper LABELS e2e usb tsan slow TIMEOUT 120)
  target_compile_definitions(e2e_recovery_imx_slow PRIVATE QC_IMX_LOADER_STARTS)
endif()

# The i.MX road to the end: the started loader is an emulated module on USB (umockdev).
if(NOT QC_FUZZ)
  qc_test(NAME e2e_recovery_usb SOURCES e2e_recovery_usb.cpp WRAPPER umockdev-wrapper LABELS e2e usb tsan TIMEOUT 180 PROCESSORS 2)
endif()

# The download by chip fingerprint, in process against the update-server emulator.
qc_test(NAME e2e_fingerprint SOURCES e2e_fingerprint.cpp LABELS e2e PROCESSORS 2)
