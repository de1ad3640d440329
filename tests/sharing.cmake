# Link sharing: multicast sockets, the beacon-interface guard, the discovery of sharing
# servers, the client stream, the sharing server and the wait of their threads.
qc_test(NAME test_multicast SOURCES test_multicast.cpp LABELS unit netns tsan)
qc_test(NAME test_sharing_client SOURCES test_sharing_client.cpp LABELS unit netns tsan)
qc_test(NAME test_sharing_discovery SOURCES test_sharing_discovery.cpp LABELS unit netns tsan)
qc_test(NAME test_sharing_server SOURCES test_sharing_server.cpp LABELS unit netns tsan)
qc_test(NAME test_sharing_engine SOURCES test_sharing_engine.cpp LABELS unit netns tsan TIMEOUT 60)
# The context probe is a child of UpdaterMakesNoZeroMQContext, not a case of its own.
qc_test(NAME e2e_sharing_off SOURCES e2e_sharing_off.cpp WRAPPER umockdev-wrapper LABELS e2e usb tsan netns TIMEOUT 120
        FILTER "-SharingOff.ContextProbe")
qc_test(NAME test_zready_wait SOURCES test_zready_wait.cpp LABELS unit tsan)
qc_test(NAME test_czmq_first_use SOURCES test_czmq_first_use.cpp LABELS unit tsan)
