# Fuzz targets of the replies the tool takes from outside: the update server's bodies, the
# discovery datagrams, the i.MX ROM's replies, the entity-protocol and the UPGRADE replies.
qc_fuzz(NAME fuzz_server_replies SOURCES fuzz/fuzz_server_replies.cpp
        CORPUS ${CMAKE_CURRENT_SOURCE_DIR}/fuzz/corpus_server_replies SECONDS 20)
qc_fuzz(NAME fuzz_discovery_reply SOURCES fuzz/fuzz_discovery_reply.cpp
        CORPUS ${CMAKE_CURRENT_SOURCE_DIR}/fuzz/corpus_discovery_reply SECONDS 20)
qc_fuzz(NAME fuzz_sdp_replies SOURCES fuzz/fuzz_sdp_replies.cpp
        CORPUS ${CMAKE_CURRENT_SOURCE_DIR}/fuzz/corpus_sdp_replies SECONDS 20)
qc_fuzz(NAME fuzz_uei_replies SOURCES fuzz/fuzz_uei_replies.cpp
        CORPUS ${CMAKE_CURRENT_SOURCE_DIR}/fuzz/corpus_uei_replies SECONDS 20)
qc_fuzz(NAME fuzz_upgrade_replies SOURCES fuzz/fuzz_upgrade_replies.cpp
        CORPUS ${CMAKE_CURRENT_SOURCE_DIR}/fuzz/corpus_upgrade_replies SECONDS 20)
