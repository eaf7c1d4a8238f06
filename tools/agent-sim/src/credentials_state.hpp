// The credentials service: OAuth 2.0 device authorization grant (RFC 8628), single-use
// refresh tokens, identity and account look-ups. Pure state; the clock is passed in.
//
//   CredentialsState creds(settings);
//   auto a = creds.device_code(form, "http://127.0.0.1:8080", now);   // device_code, user_code,
//   ... auto b = creds.token(form, now);                                  // pending, then tokens
//   auto c = creds.userinfo("Bearer " + token, now);                  // {"user_id": "sim-user"}
#pragma once

#include <cstddef>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include <boost/json/object.hpp>

#include "http_answer.hpp"
#include "text_util.hpp"

namespace velmora::agent_sim {

enum class DeviceOutcome { approve, deny, expire };

/// Which identity claims the userinfo answer carries.
enum class UserinfoClaims { user_id, sub, both };

struct CredentialsSettings {
  /// The user a device login signs in.
  std::string login_user = "sim-user";
  /// Polls answered "authorization_pending" before the outcome.
  std::size_t device_pending_polls = 1;
  /// Polls answered "slow_down" before the pending ones.
  std::size_t device_slow_down_polls = 0;
  DeviceOutcome device_outcome = DeviceOutcome::approve;
  double device_interval = 1;
  double device_expires_in = 600;
  /// When non-empty, requests naming another client id are refused.
  std::string client_id;
  double token_lifetime = 3600;
  UserinfoClaims userinfo_claims = UserinfoClaims::user_id;
  /// Access tokens valid from the start (token → user); they never expire.
  std::map<std::string, std::string> seeded_tokens;
  /// Refresh tokens valid from the start (token → user).
  std::map<std::string, std::string> seeded_refresh_tokens;
  /// Access tokens refused everywhere (userinfo, websocket handshake, upload).
  std::set<std::string> revoked_tokens;
  /// Account value per user for the account look-up.
  std::map<std::string, std::string> accounts;
  /// Sessions and uploads accept only tokens this service issued or was given; otherwise any
  /// token that is not known to be revoked or expired.
  bool strict_session_tokens = false;
};

enum class TokenStatus { valid, unknown, revoked, expired };

class CredentialsState {
 public:
  explicit CredentialsState(CredentialsSettings settings);

  /// POST /oauth/device/code. `public_base` is the service's own address (for the
  /// verification address).
  HttpAnswer device_code(const FormFields& form, std::string_view public_base, double now);
  /// POST /oauth/token: device-code polling or refresh.
  HttpAnswer token(const FormFields& form, double now);
  /// GET /oauth/userinfo with the request's Authorization header value.
  HttpAnswer userinfo(std::string_view authorization, double now) const;
  /// GET /api/v1/users/<user_id>/devevaro_account.
  HttpAnswer account(std::string_view user_id, std::string_view authorization, double now) const;

  [[nodiscard]] TokenStatus check_access_token(std::string_view token, double now) const;
  /// Whether a websocket session or upload may use this token (see strict_session_tokens).
  [[nodiscard]] bool accepts_session_token(std::string_view token, double now) const;
  /// The user an issued or seeded access token belongs to.
  [[nodiscard]] std::optional<std::string> user_of(std::string_view token) const;

  /// Issued tokens, for the state file. Device codes in flight are not kept.
  [[nodiscard]] boost::json::object to_json() const;
  /// Restores issued tokens; throws velmora::base::RuntimeError on a malformed value.
  void load_json(const boost::json::object& saved);

  /// Issued and seeded state changed since the last call.
  bool take_dirty() noexcept;

 private:
  struct AccessToken {
    std::string user;
    /// Seconds since the epoch; 0 never expires.
    double expires_at = 0;
  };
  struct RefreshToken {
    std::string user;
    /// Spent tokens stay known so a second use is told apart from a made-up token.
    bool used = false;
  };
  struct DeviceCode {
    std::string user_code;
    std::string client_id;
    double created_at = 0;
    std::size_t polls = 0;
    bool consumed = false;
  };

  HttpAnswer poll_device_code(const FormFields& form, double now);
  HttpAnswer refresh(const FormFields& form, double now);
  HttpAnswer issue_tokens(const std::string& user, double now, std::string outcome);
  [[nodiscard]] bool client_allowed(const FormFields& form) const;
  [[nodiscard]] std::optional<std::string> bearer_user(std::string_view authorization, double now,
                                                       HttpAnswer& refusal) const;

  CredentialsSettings settings_;
  std::map<std::string, AccessToken, std::less<>> access_;
  std::map<std::string, RefreshToken, std::less<>> refresh_;
  std::map<std::string, DeviceCode, std::less<>> devices_;
  bool dirty_ = false;
};

/// The token of an "Authorization: Bearer <token>" value; nothing for another scheme.
[[nodiscard]] std::optional<std::string> bearer_token(std::string_view authorization);

}  // namespace velmora::agent_sim
