// tests/common/certs.h
// Certificates made by a test with the TLS library itself: any subject, names,
// issuer and validity dates (an expired terminal certificate, a peer named
// otherwise), signed with SHA-256 by a key the test chooses.
#pragma once
#include <string>

// A certificate to make: its subject and key, the signer's key and name (the
// subject's own for a self-issued one), names and dates (UTC, YYYYMMDDhhmmss).
struct CertOrder {
    std::string subject;            // "C=BY,O=...,CN=..."
    std::string sans;               // "" for no subjectAltName extension
    std::string keyFile;            // the certificate's key
    std::string issuerKeyFile;      // the signer's key
    std::string issuerName;         // the signer's subject
    std::string notBefore = "20200101000000", notAfter = "20491231235959";
    bool ca = false;                // a CA certificate (basic constraints CA:TRUE)
};

// The certificate described, PEM; "" (and a test failure) when it could not be made.
std::string MakeCert(const CertOrder& order);
