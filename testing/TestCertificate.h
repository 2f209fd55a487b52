// A self-signed certificate and its key, made for a test: PEM files the server's --tls-cert
// and --tls-key take. Nothing on disk outlives the test's directory.
#pragma once

#include <filesystem>

namespace fuel::test {

// The key's kind: which TLS 1.2 suites a server can offer with it (ECDSA or RSA ones).
enum class KeyKind { Ec, Rsa };

// Writes certificate.pem and key.pem into the directory; throws std::runtime_error.
void WriteSelfSignedCertificate(const std::filesystem::path& directory, KeyKind kind = KeyKind::Ec);

}  // namespace fuel::test
