# Boot-loader clients and their emulators. The HID test links the hidapi stand-in into the
# program itself, so its hid_* definitions win over the shared hidapi library.
qc_test(NAME test_sdp_hid SOURCES test_sdp_hid.cpp support/hid_standin/hidapi_standin.cpp LABELS unit)
qc_test(NAME test_sdp_serial SOURCES test_sdp_serial.cpp LABELS unit)
qc_test(NAME test_nxp SOURCES test_nxp.cpp LABELS unit)
