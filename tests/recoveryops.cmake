# The fingerprint and the recovery of a module without firmware, on the real binary against the
# boot ROM emulators.
qc_test(NAME e2e_recovery SOURCES e2e_recovery.cpp LABELS e2e TIMEOUT 180 PROCESSORS 2)

# The i.MX road up to the started loader: the serial ROM emulator in the test, the hidapi
# stand-in preloaded into the binary. The second program holds the run whose started loader
# never shows up on USB, which waits out the 15 one-second attempts of the search.
if(NOT QC_FUZZ)
  qc_test(NAME e2e_recovery_imx SOURCES e2e_recovery_imx.cpp LABELS e2e TIMEOUT 120 PROCESSORS 2)
  qc_test(NAME e2e_recovery_imx_slow SOURCES e2e_recovery_imx.cpp LABELS e2e slow TIMEOUT 120)
  target_compile_definitions(e2e_recovery_imx_slow PRIVATE QC_IMX_LOADER_STARTS)
  foreach(_t e2e_recovery_imx e2e_recovery_imx_slow)
    add_dependencies(${_t} qc_hid_preload)
    target_compile_definitions(${_t} PRIVATE QC_HID_PRELOAD_LIB="$<TARGET_FILE:qc_hid_preload>")
  endforeach()
endif()

# The i.MX road to the end: the started loader is an emulated module on USB (umockdev).
if(NOT QC_FUZZ)
  qc_test(NAME e2e_recovery_usb SOURCES e2e_recovery_usb.cpp WRAPPER umockdev-wrapper LABELS e2e usb TIMEOUT 180 PROCESSORS 2)
  add_dependencies(e2e_recovery_usb qc_hid_preload)
  target_compile_definitions(e2e_recovery_usb PRIVATE QC_HID_PRELOAD_LIB="$<TARGET_FILE:qc_hid_preload>")
endif()

# The download by chip fingerprint, in process against the update-server emulator.
qc_test(NAME e2e_fingerprint SOURCES e2e_fingerprint.cpp LABELS e2e PROCESSORS 2)
