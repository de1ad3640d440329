# Packets, byte streams and their transports, tested against the module emulator's transports.
qc_test(NAME test_packet SOURCES test_packet.cpp LABELS unit)
qc_test(NAME test_stream SOURCES test_stream.cpp LABELS unit)
qc_test(NAME test_stream_serial SOURCES test_stream_serial.cpp LABELS unit tsan)
qc_test(NAME test_stream_tcp SOURCES test_stream_tcp.cpp LABELS unit tsan)
