# Boot-loader clients and their emulators. The HID test links the hidapi stand-in into the
# program itself, so its hid_* definitions win over the shared hidapi library.
qc_test(NAME test_sdp_hid SOURCES test_sdp_hid.cpp support/hid_standin/hidapi_standin.cpp LABELS unit)
qc_test(NAME test_sdp_serial SOURCES test_sdp_serial.cpp LABELS unit tsan)
qc_test(NAME test_nxp SOURCES test_nxp.cpp LABELS unit tsan PROCESSORS 2)

# The same stand-in as a library to preload (LD_PRELOAD) into a program linked against the
# real hidapi, for end-to-end tests of the updater over USB HID; sdp_hid_client is such a
# program for the stand-in's own test.
if(NOT QC_FUZZ)
  add_library(qc_hid_preload SHARED support/hid_standin/hidapi_standin.cpp)
  target_compile_definitions(qc_hid_preload PRIVATE QC_HID_PRELOAD)
  target_include_directories(qc_hid_preload PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/support)
  target_link_libraries(qc_hid_preload PRIVATE qcemulators PkgConfig::HIDAPI PkgConfig::ZLIB)
  add_executable(sdp_hid_client support/hid_standin/sdp_hid_client.cpp)
  target_link_libraries(sdp_hid_client PRIVATE updatercore)
  qc_test(NAME test_sdp_hid_preload SOURCES test_sdp_hid_preload.cpp LABELS unit)
  add_dependencies(test_sdp_hid_preload qc_hid_preload sdp_hid_client)
  target_compile_definitions(test_sdp_hid_preload PRIVATE
    QC_HID_PRELOAD_LIB="$<TARGET_FILE:qc_hid_preload>" QC_HID_CLIENT="$<TARGET_FILE:sdp_hid_client>")
endif()

qc_fuzz(NAME fuzz_nxp_replies SOURCES test_nxp_fuzz.cpp CORPUS ${CMAKE_CURRENT_SOURCE_DIR}/corpus/nxp_replies)
qc_test(NAME test_nxp_sdp_programs SOURCES test_nxp_sdp_programs.cpp LABELS e2e PROCESSORS 2)
if(NOT QC_FUZZ)
  add_dependencies(test_nxp_sdp_programs lpc_isp imx_sdp)
endif()
