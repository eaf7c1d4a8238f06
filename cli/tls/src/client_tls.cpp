#include "velmora/tls/client_tls.hpp"

#include <openssl/err.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include <cstdlib>
#include <filesystem>
#include <system_error>

#include <boost/asio/ip/address.hpp>

#include "velmora/base/errors.hpp"

namespace velmora::tls {
namespace {

namespace ssl = boost::asio::ssl;

std::optional<std::string> process_env(std::string_view name) {
  const char* value = std::getenv(std::string(name).c_str());
  if (value == nullptr) return std::nullopt;
  return std::string(value);
}

bool is_address_literal(const std::string& host) {
  boost::system::error_code ec;
  (void)boost::asio::ip::make_address(host, ec);
  return !ec;
}

// OpenSSL's reason for the latest failure on this thread, for a store that cannot be read.
std::string openssl_reason() {
  const unsigned long code = ::ERR_peek_last_error();
  ::ERR_clear_error();
  const char* reason = code != 0 ? ::ERR_reason_error_string(code) : nullptr;
  return reason != nullptr ? reason : "unreadable";
}

}  // namespace

#if defined(VELMORA_LAZY_TLS)
// The runtime library's: OpenSSL loads with the first TLS use (cli/runtime/src/tls_functions.cpp).
extern "C" const char* velmora_tls_library_error();
#endif

const std::vector<std::string>& well_known_trust_stores() {
  static const std::vector<std::string> paths{
      "/etc/ssl/certs/ca-certificates.crt",                 // Debian, Ubuntu, Arch, Gentoo
      "/etc/pki/tls/certs/ca-bundle.crt",                   // Fedora, RHEL, CentOS
      "/etc/pki/ca-trust/extracted/pem/tls-ca-bundle.pem",  // Fedora, RHEL (extracted)
      "/etc/ssl/ca-bundle.pem",                             // openSUSE, SLES
      "/etc/ssl/cert.pem",                                  // Alpine
      "/etc/ssl/certs",                                     // hashed folders
      "/etc/pki/tls/certs",
  };
  return paths;
}

std::optional<TrustStore> find_trust_store(const EnvLookup& env,
                                           const std::vector<std::string>& candidates,
                                           const std::string& root) {
  namespace fs = std::filesystem;
  std::error_code ec;
  const auto file = env("SSL_CERT_FILE").value_or("");
  const auto dir = env("SSL_CERT_DIR").value_or("");
  if (!file.empty() || !dir.empty()) {
    TrustStore chosen;
    if (!file.empty() && fs::is_regular_file(file, ec)) chosen.file = file;
    if (!dir.empty() && fs::is_directory(dir, ec)) chosen.dir = dir;
    if (chosen.file.empty() && chosen.dir.empty()) return std::nullopt;
    return chosen;
  }
  for (const auto& candidate : candidates) {
    const std::string path = root + candidate;
    if (fs::is_regular_file(path, ec)) return TrustStore{.file = path};
    if (fs::is_directory(path, ec) && !fs::is_empty(path, ec)) return TrustStore{.dir = path};
  }
  return std::nullopt;
}

std::shared_ptr<ssl::context> make_client_context() {
#if defined(VELMORA_LAZY_TLS)
  if (const char* error = velmora_tls_library_error()) throw base::OSError(error);
#endif
  const auto store = find_trust_store(process_env);
  if (!store) throw base::OSError(std::string(NO_TRUST_STORE_MESSAGE));
  auto context = std::make_shared<ssl::context>(ssl::context::tls_client);
  SSL_CTX* handle = context->native_handle();
  const char* file = store->file.empty() ? nullptr : store->file.c_str();
  const char* dir = store->dir.empty() ? nullptr : store->dir.c_str();
  if (::SSL_CTX_load_verify_locations(handle, file, dir) != 1) {
    throw base::OSError("cannot read the trusted CA certificates in " +
                        (file != nullptr ? store->file : store->dir) + ": " + openssl_reason());
  }
  ::SSL_CTX_set_min_proto_version(handle, TLS1_2_VERSION);
  // Streams copy the context's verification settings when they are made, so they come first.
  context->set_verify_mode(ssl::verify_peer);
  return context;
}

void prepare_client(SSL* handle, const std::string& host) {
  X509_VERIFY_PARAM* param = ::SSL_get0_param(handle);
  if (is_address_literal(host)) {
    // Server name indication carries host names only, never address literals.
    ::X509_VERIFY_PARAM_set1_ip_asc(param, host.c_str());
    return;
  }
  ::SSL_set_tlsext_host_name(handle, host.c_str());
  ::X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
  ::X509_VERIFY_PARAM_set1_host(param, host.c_str(), host.size());
}

}  // namespace velmora::tls
