# Packets, byte streams and their transports, tested against the module emulator's transports.
qc_test(NAME test_packet SOURCES test_packet.cpp LABELS unit)
qc_test(NAME test_stream SOURCES test_stream.cpp LABELS unit)
qc_test(NAME test_stream_serial SOURCES test_stream_serial.cpp LABELS unit tsan)
qc_test(NAME test_stream_tcp SOURCES test_stream_tcp.cpp LABELS unit tsan)
qc_test(NAME test_stream_usb SOURCES test_stream_usb.cpp WRAPPER umockdev-wrapper LABELS unit usb)
qc_test(NAME test_stream_usb_noinit SOURCES test_stream_usb_noinit.cpp WRAPPER umockdev-wrapper LABELS unit usb)
qc_test(NAME test_stream_usbnode SOURCES test_stream_usbnode.cpp LABELS unit)
qc_fuzz(NAME fuzz_packet SOURCES fuzz/fuzz_packet.cpp CORPUS ${CMAKE_CURRENT_SOURCE_DIR}/fuzz/corpus_packet SECONDS 20)
