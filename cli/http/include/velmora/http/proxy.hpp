// Proxy choice from the environment, as curl and Python's urllib make it.
//
// Lower-case variables win over upper-case ones. Upper-case HTTP_PROXY is ignored when
// REQUEST_METHOD is set: in a CGI program it comes from the client's "Proxy:" header.
// ALL_PROXY is the fallback for both schemes. NO_PROXY lists hosts that are reached directly:
// "*" for all, a name also covers its sub-domains (a leading "." or "*." is optional), an
// entry may carry ":port", and IP entries may be CIDR ranges (10.0.0.0/8, ::1/128).
//
//   auto settings = velmora::http::proxy_settings_from_env();
//   if (auto proxy = velmora::http::select_proxy("https", "files.example", 443, settings)) ...
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace velmora::http {

struct ProxySettings {
  std::string http_proxy;
  std::string https_proxy;
  std::string no_proxy;
};

struct ProxyServer {
  std::string host;  ///< without IPv6 brackets
  std::uint16_t port = 0;
  /// "Basic …" from the user name and password in the proxy URL, or empty.
  std::string authorization;
};

[[nodiscard]] ProxySettings proxy_settings_from_env();

/// True when NO_PROXY text `no_proxy` says to reach `host`:`port` directly.
[[nodiscard]] bool bypasses_proxy(std::string_view host, std::uint16_t port,
                                  std::string_view no_proxy);

/// Parses a proxy address ("http://user:pw@host:3128", "host:3128"; default port 80 for http).
/// Throws velmora::base::RuntimeError for a malformed value or a scheme other than http.
[[nodiscard]] ProxyServer parse_proxy_url(std::string_view text);

/// The proxy for a request to `scheme`://`host`:`port`, or nothing for a direct connection.
[[nodiscard]] std::optional<ProxyServer> select_proxy(std::string_view scheme,
                                                      std::string_view host, std::uint16_t port,
                                                      const ProxySettings& settings);

}  // namespace velmora::http
