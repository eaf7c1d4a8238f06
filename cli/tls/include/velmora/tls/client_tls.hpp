// How every TLS connection of the client is set up and verified: `wss://` (wirelet) and
// `https://` (the HTTP client) alike.
//
// Settings: the trust store found by `find_trust_store`, TLS 1.2 at least, peer verification
// always on, server name indication for host names (never for address literals), and the
// certificate must name the host — a DNS name, or an IP address entry for an address literal —
// with partial wildcards ("f*.example.com") refused.
//
//   auto context = velmora::tls::make_client_context();   // once per connection attempt
//   boost::asio::ssl::stream<tcp::socket> stream(std::move(socket), *context);
//   velmora::tls::prepare_client(stream.native_handle(), host);
//   co_await stream.async_handshake(...);
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <openssl/ssl.h>

#include <boost/asio/ssl/context.hpp>

namespace velmora::tls {

/// Where the trusted certificates are: a bundle file, a hashed folder, or both.
struct TrustStore {
  std::string file;
  std::string dir;

  bool operator==(const TrustStore&) const = default;
};

/// Reads one environment variable; nothing when it is unset.
using EnvLookup = std::function<std::optional<std::string>(std::string_view)>;

/// The bundle files and folders of the mainstream distributions, in the order they are tried.
[[nodiscard]] const std::vector<std::string>& well_known_trust_stores();

/// `SSL_CERT_FILE` and `SSL_CERT_DIR` when either is set (only those: an explicit choice is
/// never replaced by the system's store), else the first of `candidates` that exists below
/// `root` (a file is used as a bundle, a folder as a hashed folder). Nothing when none exists.
[[nodiscard]] std::optional<TrustStore> find_trust_store(
    const EnvLookup& env, const std::vector<std::string>& candidates = well_known_trust_stores(),
    const std::string& root = "");

/// The message of a connection that found no trust store; it names both variables.
inline constexpr std::string_view NO_TRUST_STORE_MESSAGE =
    "no trusted CA certificates found: set SSL_CERT_FILE to a CA bundle file or SSL_CERT_DIR to "
    "a folder of CA certificates";

/// A client context with the settings above, trusting the store `find_trust_store` gives for
/// the process environment. Throws velmora::base::OSError with NO_TRUST_STORE_MESSAGE when
/// there is none, or with OpenSSL's reason when the store cannot be read.
[[nodiscard]] std::shared_ptr<boost::asio::ssl::context> make_client_context();

/// Per connection, before the handshake: SNI for a host name, and the name (or address) the
/// certificate must carry. `handle` is the connection's SSL object.
void prepare_client(SSL* handle, const std::string& host);

}  // namespace velmora::tls
