#include "credentials_state.hpp"

#include <cmath>

#include "velmora/base/errors.hpp"

namespace velmora::agent_sim {
namespace {

constexpr std::string_view DEVICE_GRANT = "urn:ietf:params:oauth:grant-type:device_code";

// Whole seconds read better and suit clients that expect integers.
boost::json::value json_seconds(double seconds) {
  if (std::floor(seconds) == seconds && std::abs(seconds) < 1e15) {
    return static_cast<std::int64_t>(seconds);
  }
  return seconds;
}

HttpAnswer oauth_error(unsigned status, std::string_view error, std::string_view description) {
  boost::json::object body{{"error", error}, {"error_description", description}};
  auto answer = json_answer(status, body, std::string(error));
  answer.headers.emplace_back("Cache-Control", "no-store");
  return answer;
}

HttpAnswer invalid_token(std::string_view description) {
  auto answer = json_answer(401, {{"error", "invalid_token"}, {"error_description", description}},
                            "invalid_token");
  answer.headers.emplace_back("WWW-Authenticate", "Bearer error=\"invalid_token\"");
  return answer;
}

// Letters that cannot be mistaken for each other when typed from a screen.
std::string make_user_code() {
  static constexpr std::string_view LETTERS = "BCDFGHJKLMNPQRSTVWXZ";
  const std::string entropy = random_hex(8);
  std::string code;
  for (std::size_t i = 0; i < 8; ++i) {
    if (i == 4) code.push_back('-');
    const auto nibble_pair = std::stoul(entropy.substr(i * 2, 2), nullptr, 16);
    code.push_back(LETTERS[nibble_pair % LETTERS.size()]);
  }
  return code;
}

}  // namespace

std::optional<std::string> bearer_token(std::string_view authorization) {
  while (!authorization.empty() && authorization.front() == ' ') authorization.remove_prefix(1);
  constexpr std::string_view SCHEME = "bearer ";
  if (authorization.size() <= SCHEME.size() ||
      !iequals(authorization.substr(0, SCHEME.size()), SCHEME)) {
    return std::nullopt;
  }
  authorization.remove_prefix(SCHEME.size());
  while (!authorization.empty() && authorization.front() == ' ') authorization.remove_prefix(1);
  while (!authorization.empty() && authorization.back() == ' ') authorization.remove_suffix(1);
  if (authorization.empty()) return std::nullopt;
  return std::string(authorization);
}

CredentialsState::CredentialsState(CredentialsSettings settings) : settings_(std::move(settings)) {
  for (const auto& [token, user] : settings_.seeded_tokens) access_[token] = {user, 0};
  for (const auto& [token, user] : settings_.seeded_refresh_tokens) refresh_[token] = {user, false};
}

bool CredentialsState::client_allowed(const FormFields& form) const {
  if (settings_.client_id.empty()) return true;
  const auto* client = form_value(form, "client_id");
  return client != nullptr && *client == settings_.client_id;
}

HttpAnswer CredentialsState::device_code(const FormFields& form, std::string_view public_base,
                                         double now) {
  const auto* client = form_value(form, "client_id");
  if (client == nullptr || client->empty()) {
    return oauth_error(400, "invalid_request", "client_id is required");
  }
  if (!client_allowed(form)) return oauth_error(401, "invalid_client", "unknown client_id");
  const std::string device = random_hex(20);
  DeviceCode entry{make_user_code(), *client, now, 0, false};
  const std::string verification = std::string(public_base) + "/device";
  boost::json::object body{
      {"device_code", device},
      {"user_code", entry.user_code},
      {"verification_uri", verification},
      {"verification_uri_complete", verification + "?user_code=" + entry.user_code},
      {"interval", json_seconds(settings_.device_interval)},
      {"expires_in", json_seconds(settings_.device_expires_in)},
  };
  devices_.emplace(device, std::move(entry));
  return json_answer(200, body, "device_code");
}

HttpAnswer CredentialsState::token(const FormFields& form, double now) {
  const auto* grant = form_value(form, "grant_type");
  if (grant == nullptr || grant->empty()) {
    return oauth_error(400, "invalid_request", "grant_type is required");
  }
  if (*grant == DEVICE_GRANT) return poll_device_code(form, now);
  if (*grant == "refresh_token") return refresh(form, now);
  return oauth_error(400, "unsupported_grant_type", "unsupported grant_type");
}

HttpAnswer CredentialsState::poll_device_code(const FormFields& form, double now) {
  const auto* code = form_value(form, "device_code");
  if (code == nullptr || code->empty()) {
    return oauth_error(400, "invalid_request", "device_code is required");
  }
  const auto it = devices_.find(*code);
  if (it == devices_.end()) return oauth_error(400, "invalid_grant", "unknown device_code");
  auto& device = it->second;
  const auto* client = form_value(form, "client_id");
  if (client == nullptr || *client != device.client_id) {
    return oauth_error(401, "invalid_client", "client_id does not match the device code");
  }
  if (device.consumed) return oauth_error(400, "invalid_grant", "device_code already used");
  if (now - device.created_at > settings_.device_expires_in) {
    return oauth_error(400, "expired_token", "the device code has expired");
  }
  const std::size_t poll = ++device.polls;
  if (poll <= settings_.device_slow_down_polls) {
    return oauth_error(400, "slow_down", "polling too fast");
  }
  if (poll <= settings_.device_slow_down_polls + settings_.device_pending_polls) {
    return oauth_error(400, "authorization_pending", "the user has not approved yet");
  }
  switch (settings_.device_outcome) {
    case DeviceOutcome::deny:
      device.consumed = true;
      return oauth_error(400, "access_denied", "the user denied the request");
    case DeviceOutcome::expire:
      device.consumed = true;
      return oauth_error(400, "expired_token", "the device code has expired");
    case DeviceOutcome::approve:
      break;
  }
  device.consumed = true;
  return issue_tokens(settings_.login_user, now, "issued");
}

HttpAnswer CredentialsState::refresh(const FormFields& form, double now) {
  const auto* token = form_value(form, "refresh_token");
  if (token == nullptr || token->empty()) {
    return oauth_error(400, "invalid_request", "refresh_token is required");
  }
  if (!client_allowed(form)) return oauth_error(401, "invalid_client", "unknown client_id");
  const auto it = refresh_.find(*token);
  if (it == refresh_.end()) return oauth_error(400, "invalid_grant", "unknown refresh token");
  if (it->second.used) return oauth_error(400, "invalid_grant", "refresh token already used");
  it->second.used = true;
  dirty_ = true;
  return issue_tokens(it->second.user, now, "refreshed");
}

HttpAnswer CredentialsState::issue_tokens(const std::string& user, double now,
                                          std::string outcome) {
  const std::string access = "at-" + random_hex(16);
  const std::string refresh = "rt-" + random_hex(16);
  access_[access] = {user, settings_.token_lifetime > 0 ? now + settings_.token_lifetime : 0};
  refresh_[refresh] = {user, false};
  dirty_ = true;
  boost::json::object body{
      {"access_token", access},
      {"token_type", "Bearer"},
      {"expires_in", json_seconds(settings_.token_lifetime)},
      {"refresh_token", refresh},
  };
  auto answer = json_answer(200, body, std::move(outcome));
  answer.headers.emplace_back("Cache-Control", "no-store");
  return answer;
}

TokenStatus CredentialsState::check_access_token(std::string_view token, double now) const {
  if (settings_.revoked_tokens.count(std::string(token)) != 0) return TokenStatus::revoked;
  const auto it = access_.find(token);
  if (it == access_.end()) return TokenStatus::unknown;
  if (it->second.expires_at > 0 && now >= it->second.expires_at) return TokenStatus::expired;
  return TokenStatus::valid;
}

bool CredentialsState::accepts_session_token(std::string_view token, double now) const {
  if (token.empty()) return false;
  switch (check_access_token(token, now)) {
    case TokenStatus::valid:
      return true;
    case TokenStatus::unknown:
      return !settings_.strict_session_tokens;
    case TokenStatus::revoked:
    case TokenStatus::expired:
      return false;
  }
  return false;
}

std::optional<std::string> CredentialsState::user_of(std::string_view token) const {
  const auto it = access_.find(token);
  if (it == access_.end()) return std::nullopt;
  return it->second.user;
}

std::optional<std::string> CredentialsState::bearer_user(std::string_view authorization, double now,
                                                         HttpAnswer& refusal) const {
  const auto token = bearer_token(authorization);
  if (!token) {
    refusal = invalid_token("a Bearer token is required");
    return std::nullopt;
  }
  switch (check_access_token(*token, now)) {
    case TokenStatus::valid:
      return access_.find(*token)->second.user;
    case TokenStatus::unknown:
      refusal = invalid_token("unknown token");
      return std::nullopt;
    case TokenStatus::revoked:
      refusal = invalid_token("the token has been revoked");
      return std::nullopt;
    case TokenStatus::expired:
      refusal = invalid_token("the token has expired");
      return std::nullopt;
  }
  return std::nullopt;
}

HttpAnswer CredentialsState::userinfo(std::string_view authorization, double now) const {
  HttpAnswer refusal;
  const auto user = bearer_user(authorization, now, refusal);
  if (!user) return refusal;
  boost::json::object body;
  if (settings_.userinfo_claims != UserinfoClaims::sub) body["user_id"] = *user;
  if (settings_.userinfo_claims != UserinfoClaims::user_id) body["sub"] = *user;
  return json_answer(200, body, "identified");
}

HttpAnswer CredentialsState::account(std::string_view user_id, std::string_view authorization,
                                     double now) const {
  HttpAnswer refusal;
  const auto user = bearer_user(authorization, now, refusal);
  if (!user) return refusal;
  if (*user != user_id) {
    return json_answer(403, {{"detail", "the token belongs to another user"}}, "forbidden");
  }
  const auto it = settings_.accounts.find(std::string(user_id));
  if (it == settings_.accounts.end()) {
    return json_answer(404, {{"detail", "no devevaro account for this user"}}, "no_account");
  }
  return json_answer(200, {{"devevaro_account", it->second}}, "account");
}

boost::json::object CredentialsState::to_json() const {
  boost::json::object access;
  for (const auto& [token, entry] : access_) {
    access[token] = boost::json::object{{"user", entry.user}, {"expires_at", entry.expires_at}};
  }
  boost::json::object refresh;
  for (const auto& [token, entry] : refresh_) {
    refresh[token] = boost::json::object{{"user", entry.user}, {"used", entry.used}};
  }
  return {{"access_tokens", std::move(access)}, {"refresh_tokens", std::move(refresh)}};
}

void CredentialsState::load_json(const boost::json::object& saved) {
  const auto fail = [](const std::string& what) {
    throw velmora::base::RuntimeError("malformed credentials in state file: " + what);
  };
  const auto section = [&](std::string_view key) -> const boost::json::object* {
    const auto* value = saved.if_contains(key);
    if (value == nullptr) return nullptr;
    if (!value->is_object()) fail(std::string(key) + " is not an object");
    return &value->get_object();
  };
  if (const auto* access = section("access_tokens")) {
    for (const auto& [token, value] : *access) {
      const auto* entry = value.if_object();
      const auto* user = entry ? entry->if_contains("user") : nullptr;
      const auto* expires = entry ? entry->if_contains("expires_at") : nullptr;
      if (user == nullptr || !user->is_string() || expires == nullptr || !expires->is_number()) {
        fail("access token entry");
      }
      access_[std::string(token)] = {std::string(user->get_string()), expires->to_number<double>()};
    }
  }
  if (const auto* refresh = section("refresh_tokens")) {
    for (const auto& [token, value] : *refresh) {
      const auto* entry = value.if_object();
      const auto* user = entry ? entry->if_contains("user") : nullptr;
      const auto* used = entry ? entry->if_contains("used") : nullptr;
      if (user == nullptr || !user->is_string() || used == nullptr || !used->is_bool()) {
        fail("refresh token entry");
      }
      refresh_[std::string(token)] = {std::string(user->get_string()), used->get_bool()};
    }
  }
}

bool CredentialsState::take_dirty() noexcept { return std::exchange(dirty_, false); }

}  // namespace velmora::agent_sim
