#include "velmora/cli_errors.hpp"

#include <array>
#include <utility>

#include "velmora/term/text_width.hpp"

namespace velmora {

namespace {

constexpr std::array<std::string_view, 8> AUTH_MARKERS = {
    "401",
    "invalidstatus",
    "invalid status",
    "usertoken",
    "token",
    "unauthorized",
    "\u672a\u767b\u5f55",  // not logged in
    "\u5df2\u5931\u6548",  // expired
};

constexpr std::array<std::string_view, 16> NETWORK_MARKERS = {
    "timed out",
    "timeout",
    "connection refused",
    "connection reset",
    "connection closed",
    "network is unreachable",
    "temporary failure in name resolution",
    "name or service not known",
    "getaddrinfo",
    "server rejected websocket connection",
    "ssl",
    "handshake",
    "proxy",
    // Windows socket errors: connection time-out, refused connection, unknown host.
    "10060",
    "10061",
    "11001",
};

template <std::size_t N>
bool contains_any(std::string_view detail, const std::array<std::string_view, N>& markers) {
  const std::string lowered = velmora::term::unicode_lower(detail);
  for (const auto marker : markers) {
    if (lowered.find(marker) != std::string::npos) return true;
  }
  return false;
}

}  // namespace

CliInvocationError::CliInvocationError(std::string category, std::string summary, std::string hint,
                                       std::optional<std::string> detail, std::exception_ptr cause)
    : velmora::base::Error(summary, std::move(cause)),
      category_(std::move(category)),
      summary_(std::move(summary)),
      hint_(std::move(hint)),
      detail_(std::move(detail)) {}

std::string_view CliInvocationError::kind_name() const noexcept { return "CliInvocationError"; }

bool looks_like_auth_error(std::string_view detail) { return contains_any(detail, AUTH_MARKERS); }

bool looks_like_network_error(std::string_view detail) {
  return contains_any(detail, NETWORK_MARKERS);
}

CliErrorInfo classify_cli_error(const std::exception& exc, bool during_connect) {
  if (const auto* invocation = dynamic_cast<const CliInvocationError*>(&exc)) {
    return {invocation->category(), invocation->summary(), invocation->hint(),
            invocation->detail()};
  }
  const std::string detail = velmora::base::error_text_or_kind(exc);
  if (looks_like_auth_error(detail)) {
    return {"auth", "Authentication failed.", "Refresh the user token and retry.", detail};
  }
  if (during_connect || looks_like_network_error(detail)) {
    return {"network", "Failed to reach the websocket endpoint.",
            "Check --url or QUILLON_URL and confirm the remote service is reachable.", detail};
  }
  return {"config", "CLI invocation failed.", "Check the CLI arguments and retry.", detail};
}

std::optional<std::string> try_refresh_token(const RuntimeConfig& cfg,
                                             velmora::oauth::Credentials& credentials) {
  // The refreshed token would go to endpoints the user has not trusted.
  if (!cfg.saved_login_allowed) return std::nullopt;
  if (cfg.oauth_base_url.empty() || cfg.oauth_client_id.empty()) return std::nullopt;
  auto token = credentials.force_refresh_token(cfg.oauth_base_url, cfg.oauth_client_id);
  if (token && token->empty()) return std::nullopt;
  return token;
}

}  // namespace velmora
