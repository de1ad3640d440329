// Test fixture: a fresh key pair and a self-signed certificate for an HTTPS test server.
#ifndef _SelfSignedCert_H_
#define _SelfSignedCert_H_

#include <string>

// Writes a new P-256 key (keyFile) and a certificate for it (certFile, valid from an hour ago
// for a day), both PEM. altNames is the certificate's subject alternative names in OpenSSL's
// text form ("IP:127.0.0.1", "DNS:a.example,DNS:b.example"): the names a client checks the
// host it asked for against. The certificate is its own issuer and a CA, so a client trusts
// it when it is in the client's CA store. False with the reason in why.
bool MakeSelfSignedCertificate(const std::string& certFile, const std::string& keyFile,
                               const std::string& altNames, std::string* why);

#endif
