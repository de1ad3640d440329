# Boot-loader clients and their emulators. The HID test runs the real hidapi against the ROM
# emulator on an emulated hidraw device (umockdev).
qc_test(NAME test_sdp_hid SOURCES test_sdp_hid.cpp WRAPPER umockdev-wrapper LABELS unit usb tsan)
qc_test(NAME test_sdp_serial SOURCES test_sdp_serial.cpp LABELS unit tsan)
qc_test(NAME test_nxp SOURCES test_nxp.cpp LABELS unit tsan PROCESSORS 2)

qc_fuzz(NAME fuzz_nxp_replies SOURCES fuzz/fuzz_nxp_replies.cpp CORPUS ${CMAKE_CURRENT_SOURCE_DIR}/fuzz/corpus_nxp_replies)
qc_test(NAME test_nxp_sdp_programs SOURCES test_nxp_sdp_programs.cpp LABELS e2e PROCESSORS 2)
if(NOT QC_FUZZ)
  add_dependencies(test_nxp_sdp_programs lpc_isp imx_sdp)
endif()
