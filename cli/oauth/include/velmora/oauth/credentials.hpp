// Credentials: OAuth 2.0 device-authorization login, saved tokens, refresh and identity
// look-ups against the credentials service (endpoints in protocol.md).
//
// `Credentials` is the interface the program calls; `make_credentials()` gives the real one,
// tests substitute a fake. Calls block on network I/O: run them on a worker thread when the
// event loop must keep running.
//
// With no base address (none set, none built in) the look-ups return nothing and
// `run_login_flow` fails asking for VELMORA_OAUTH_BASE_URL.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include <boost/json/object.hpp>

#include "velmora/base/errors.hpp"

namespace velmora::oauth {

/// The service rejected a token (HTTP 401 from the identity endpoint).
class InvalidTokenError : public velmora::base::Error {
 public:
  using velmora::base::Error::Error;
  [[nodiscard]] std::string_view kind_name() const noexcept override;
};

struct TokenSet {
  std::string access_token;
  std::string refresh_token;
  std::string token_type;
  /// Seconds since the epoch at which the access token expires; 0 when unknown.
  double expires_at = 0;
};

struct LoginResult {
  TokenSet tokens;
};

struct LoginFlowOptions {
  std::string oauth_base_url;
  std::string client_id;
  /// Called once with the address the user must open.
  std::function<void(const std::string&)> on_authorize_url;
  /// Called with every poll response, token values masked; may be empty.
  std::function<void(const boost::json::object&)> on_poll_response;
};

class Credentials {
 public:
  virtual ~Credentials() = default;

  /// VELMORA_OAUTH_BASE_URL, else the built-in default; trailing "/" removed; may be empty.
  virtual std::string resolve_oauth_base_url() = 0;
  /// VELMORA_OAUTH_CLIENT_ID, else "velmora-cli".
  virtual std::string resolve_oauth_client_id() = 0;
  /// Built-in default for "ws_url" or "file_api_url", or nothing.
  virtual std::optional<std::string> env_default(std::string_view key) = 0;

  /// A saved, still usable access token (refreshed if needed), or nothing.
  virtual std::optional<std::string> get_valid_token(const std::string& base_url,
                                                     const std::string& client_id) = 0;
  /// Runs the browser login; keeps the tokens. Throws velmora::base::RuntimeError on failure.
  virtual LoginResult run_login_flow(const LoginFlowOptions& options) = 0;
  /// The user the token belongs to. Throws InvalidTokenError when the service rejects it.
  virtual std::optional<std::string> fetch_user_id_from_token(const std::string& base_url,
                                                              const std::string& access_token) = 0;
  /// A new access token from the saved refresh token, or nothing when refresh is impossible.
  virtual std::optional<std::string> force_refresh_token(const std::string& base_url,
                                                         const std::string& client_id) = 0;
  /// The account value for "devevaro_account", or nothing.
  virtual std::optional<std::string> fetch_devevaro_account(const std::string& base_url,
                                                            const std::string& user_id,
                                                            const std::string& user_token) = 0;
  /// True when saved tokens existed and were removed.
  virtual bool clear_saved_tokens() = 0;
};

/// The real component: tokens in $XDG_CONFIG_HOME/velmora/credentials.json.
std::unique_ptr<Credentials> make_credentials();

}  // namespace velmora::oauth
