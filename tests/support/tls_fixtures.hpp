// What the TLS tests of both clients share: host names that resolve to the loopback address,
// and trust stores laid out as OpenSSL reads them.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace velmora::testing {

/// "<label>.example.test": in the test programs every name under ".test" (a top-level domain
/// reserved for tests) resolves to 127.0.0.1, so certificates can name hosts with three labels,
/// as wildcard names need.
[[nodiscard]] std::string test_host(std::string_view label);

/// Writes the PEM certificate into `dir` under its subject hash ("<hash>.0"), as a trust folder
/// given by SSL_CERT_DIR holds it.
void write_hashed_certificate(const std::filesystem::path& dir, const std::string& cert_pem);

}  // namespace velmora::testing
