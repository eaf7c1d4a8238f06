#include "velmora/oauth/credentials.hpp"

#include <chrono>
#include <cstdio>
#include <set>

#include "service_calls.hpp"
#include "velmora/http/encoding.hpp"
#include "velmora/oauth/device_flow.hpp"
#include "velmora/oauth/token_store.hpp"
#include "velmora/platform/env.hpp"
#include "velmora/platform/file_lock.hpp"
#include "velmora/base/errors.hpp"

namespace velmora::oauth {
namespace {

using detail::JsonAnswer;

constexpr std::string_view DEFAULT_CLIENT_ID = "velmora-cli";
constexpr double LOOKUP_TIMEOUT_SECONDS = 15;
constexpr double REFRESH_TIMEOUT_SECONDS = 30;
// A refresh in another CLI takes at most one request's time limit.
constexpr double LOCK_WAIT_SECONDS = 2 * REFRESH_TIMEOUT_SECONDS;
// Refresh a little early so a token does not expire between the check and its use.
constexpr double EXPIRY_MARGIN_SECONDS = 60;

double wall_seconds() {
  using namespace std::chrono;
  return duration<double>(system_clock::now().time_since_epoch()).count();
}

bool usable(const TokenSet& tokens) {
  return !tokens.access_token.empty() &&
         (tokens.expires_at <= 0 || wall_seconds() < tokens.expires_at - EXPIRY_MARGIN_SECONDS);
}

// Tokens of another service are no login for this one.
bool issued_by(const SavedLogin& login, const std::string& base) {
  return login.oauth_base_url.empty() || login.oauth_base_url == base;
}

std::string trimmed_env(const char* name) {
  return detail::normalize_base_url(platform::get_env(name).value_or(""));
}

class ServiceCredentials final : public Credentials {
 public:
  explicit ServiceCredentials(FlowHooks hooks) : hooks_(std::move(hooks)) {}

  std::string resolve_oauth_base_url() override {
    std::string base = trimmed_env("VELMORA_OAUTH_BASE_URL");
    if (base.empty()) base = detail::normalize_base_url(VELMORA_DEFAULT_OAUTH_BASE_URL);
    return base;
  }

  std::string resolve_oauth_client_id() override {
    auto id = platform::get_env("VELMORA_OAUTH_CLIENT_ID").value_or("");
    const auto first = id.find_first_not_of(" \t\r\n");
    const auto last = id.find_last_not_of(" \t\r\n");
    if (first == std::string::npos) return std::string(DEFAULT_CLIENT_ID);
    return id.substr(first, last - first + 1);
  }

  std::optional<std::string> env_default(std::string_view key) override {
    std::string_view value;
    if (key == "ws_url") {
      value = VELMORA_DEFAULT_WS_URL;
    } else if (key == "file_api_url") {
      value = VELMORA_DEFAULT_FILE_API_URL;
    }
    if (value.empty()) return std::nullopt;
    return std::string(value);
  }

  std::optional<std::string> get_valid_token(const std::string& base_url,
                                             const std::string& client_id) override {
    const auto found = saved_login_at(base_url);
    if (!found) return std::nullopt;
    const auto& [store, base, login] = *found;
    if (usable(login.tokens)) return handed_out_ = login.tokens.access_token;
    return hand_out(refresh(store, base, client_id, login.tokens.access_token));
  }

  LoginResult run_login_flow(const LoginFlowOptions& options) override {
    std::string id_token;
    LoginResult result{run_device_flow(options, hooks_, &id_token)};
    const auto store = TokenStore::default_location();
    SavedLogin login{
        result.tokens, id_token, detail::normalize_base_url(options.oauth_base_url),
        options.client_id.empty() ? std::string(DEFAULT_CLIENT_ID) : options.client_id};
    try {
      // Under the lock, so a refresh running in another CLI cannot overwrite the new login.
      const auto lock = try_lock(store, "saving the new login");
      store.save(login);
    } catch (const velmora::base::OSError& e) {
      throw velmora::base::RuntimeError(
          std::string("The login succeeded but its tokens could not be saved: ") + e.what(),
          std::current_exception());
    }
    handed_out_ = result.tokens.access_token;
    return result;
  }

  std::optional<std::string> fetch_user_id_from_token(const std::string& base_url,
                                                      const std::string& access_token) override {
    const std::string base = detail::normalize_base_url(base_url);
    if (base.empty() || access_token.empty()) return std::nullopt;
    JsonAnswer answer;
    try {
      answer =
          detail::get_with_bearer(base + "/oauth/userinfo", access_token, LOOKUP_TIMEOUT_SECONDS);
    } catch (const velmora::base::Error&) {
      // The identity stays unknown; a user who gave a token and a user id can still run.
      return std::nullopt;
    }
    if (answer.status == 401) {
      throw InvalidTokenError("The credentials service rejected the token (" +
                              detail::describe(answer, {access_token}) + ")");
    }
    if (!answer.is_success() || !answer.object) return std::nullopt;
    std::string user = detail::text_of(*answer.object, "user_id");
    if (user.empty()) user = detail::text_of(*answer.object, "sub");
    if (user.empty()) return std::nullopt;
    return user;
  }

  std::optional<std::string> force_refresh_token(const std::string& base_url,
                                                 const std::string& client_id) override {
    const auto found = saved_login_at(base_url);
    if (!found) return std::nullopt;
    const auto& [store, base, login] = *found;
    // The token this run was given is the one found wanting: when another CLI has replaced it
    // in the meantime, the replacement is used instead of spending the refresh token again.
    const std::string& seen = handed_out_.empty() ? login.tokens.access_token : handed_out_;
    return hand_out(refresh(store, base, client_id, seen));
  }

  std::optional<std::string> fetch_devevaro_account(const std::string& base_url,
                                                    const std::string& user_id,
                                                    const std::string& user_token) override {
    const std::string base = detail::normalize_base_url(base_url);
    if (base.empty() || user_id.empty()) return std::nullopt;
    JsonAnswer answer;
    try {
      answer = detail::get_with_bearer(
          base + "/api/v1/users/" + http::encode_path_segment(user_id) + "/devevaro_account",
          user_token, LOOKUP_TIMEOUT_SECONDS);
    } catch (const velmora::base::Error&) {
      // The account only enriches the query configuration; the session runs without it.
      return std::nullopt;
    }
    if (!answer.is_success() || !answer.object) return std::nullopt;
    std::string account = detail::text_of(*answer.object, "devevaro_account");
    if (account.empty()) return std::nullopt;
    return account;
  }

  bool clear_saved_tokens() override {
    const auto store = TokenStore::default_location();
    // Under the lock, so a refresh finishing elsewhere cannot bring the login back.
    const auto lock = try_lock(store, "removing the saved login");
    return store.clear();
  }

 private:
  void warn(const std::string& text) {
    // Once per run: a login read several times must not repeat its trouble.
    if (!warned_.insert(text).second) return;
    if (hooks_.warn) {
      hooks_.warn(text);
    } else {
      std::fprintf(stderr, "Warning: %s\n", text.c_str());
    }
  }

  void debug(const std::string& text) const {
    if (hooks_.debug) hooks_.debug(text);
  }

  void warn_out_of_date(const TokenStore& store, const std::string& why) {
    warn("saved login is out of date: run velmora login (" + why + "; " + store.file().string() +
         ").");
  }

  struct FoundLogin {
    TokenStore store;
    std::string base;
    SavedLogin login;
  };

  // The store, the normalised base and its saved login, or nothing (no base, no usable login).
  std::optional<FoundLogin> saved_login_at(const std::string& base_url) {
    std::string base = detail::normalize_base_url(base_url);
    if (base.empty()) return std::nullopt;
    auto store = TokenStore::default_location();
    auto login = saved_login(store, base);
    if (!login) return std::nullopt;
    return FoundLogin{std::move(store), std::move(base), std::move(*login)};
  }

  // The saved login of `base`, or nothing; a file that is out of date or cannot be used is
  // reported (and left in place: a login replaces it).
  std::optional<SavedLogin> saved_login(const TokenStore& store, const std::string& base) {
    auto stored = store.read();
    switch (stored.state) {
      case StoredLogin::State::none:
        return std::nullopt;
      case StoredLogin::State::stale:
        warn_out_of_date(store,
                         stored.problem.empty() ? "its refresh token was spent" : stored.problem);
        return std::nullopt;
      case StoredLogin::State::damaged:
        warn("the saved login in " + store.file().string() + " cannot be used: " + stored.problem +
             ". It was left as it is; velmora login replaces it.");
        return std::nullopt;
      case StoredLogin::State::usable:
        break;
    }
    if (!issued_by(stored.login, base)) return std::nullopt;
    return std::move(stored.login);
  }

  // The lock for saving or removing, or nothing when it cannot be had (a folder we cannot
  // write, a stuck holder). Those go ahead without it: a new login or a logout is what the user
  // asked for, and at worst a refresh finishing elsewhere at that moment wins.
  std::optional<platform::FileLock> try_lock(const TokenStore& store, const std::string& action) {
    try {
      return platform::FileLock(store.lock_file(), LOCK_WAIT_SECONDS);
    } catch (const velmora::base::Error& e) {
      debug(action + " without the lock " + store.lock_file().string() + ": " + e.what());
      return std::nullopt;
    }
  }

  // Spends the saved refresh token, holding the lock so that no other CLI spends the same one.
  // `seen` is the access token the caller found unusable: a different one saved meanwhile was
  // refreshed by another CLI and is used as it is.
  std::optional<std::string> refresh(const TokenStore& store, const std::string& base,
                                     const std::string& client_id, const std::string& seen) {
    std::optional<platform::FileLock> lock;
    try {
      lock.emplace(store.lock_file(), LOCK_WAIT_SECONDS);
    } catch (const velmora::base::Error& e) {
      // Refreshing without the lock could spend a refresh token twice and lose the login.
      debug("the saved login was not refreshed: its lock " + store.lock_file().string() +
            " could not be taken: " + e.what());
      return std::nullopt;
    }
    const auto current = saved_login(store, base);
    if (!current) return std::nullopt;
    if (current->tokens.access_token != seen && usable(current->tokens)) {
      return current->tokens.access_token;
    }
    if (current->tokens.refresh_token.empty()) {
      debug("the saved login was not refreshed: it has no refresh token");
      return std::nullopt;
    }

    // A refresh token belongs to the client it was issued to.
    const std::string client = !current->client_id.empty() ? current->client_id
                               : !client_id.empty()        ? client_id
                                                           : std::string(DEFAULT_CLIENT_ID);
    const std::string& spent = current->tokens.refresh_token;
    JsonAnswer answer;
    try {
      answer = detail::post_form(
          base + "/oauth/token",
          {{"grant_type", "refresh_token"}, {"refresh_token", spent}, {"client_id", client}},
          REFRESH_TIMEOUT_SECONDS);
    } catch (const velmora::base::Error& e) {
      // No refresh now; the saved refresh token was not spent and serves the next attempt.
      debug(std::string("the saved login was not refreshed: ") + e.what());
      return std::nullopt;
    }
    if (!answer.is_success() || !answer.object) {
      const std::string why = detail::describe(answer, {spent, current->tokens.access_token});
      if (answer.status >= 400 && answer.status < 500) {
        warn_out_of_date(store, "the credentials service refused its refresh token: " + why);
      } else {
        debug("the saved login was not refreshed: " + why);
      }
      return std::nullopt;
    }
    SavedLogin updated = *current;
    updated.tokens.access_token = detail::text_of(*answer.object, "access_token");
    if (updated.tokens.access_token.empty()) {
      debug("the saved login was not refreshed: the answer holds no access token");
      return std::nullopt;
    }
    if (auto rotated = detail::text_of(*answer.object, "refresh_token"); !rotated.empty()) {
      updated.tokens.refresh_token = rotated;
    }
    if (auto type = detail::text_of(*answer.object, "token_type"); !type.empty()) {
      updated.tokens.token_type = type;
    }
    const double expires_in = detail::number_of(*answer.object, "expires_in", 0);
    updated.tokens.expires_at = expires_in > 0 ? wall_seconds() + expires_in : 0;
    if (auto id = detail::text_of(*answer.object, "id_token"); !id.empty()) updated.id_token = id;
    updated.oauth_base_url = base;
    updated.client_id = client;
    try {
      store.save(updated);
    } catch (const velmora::base::OSError& e) {
      // The saved refresh token is spent: this run goes on with the new access token, and the
      // file must not offer the spent one to the next run (a service may revoke every token of
      // a login whose refresh token comes back).
      std::string outcome = "the next run will ask for velmora login";
      try {
        store.mark_stale(updated, "its refreshed tokens could not be saved");
      } catch (const velmora::base::OSError& marking) {
        outcome = "the file still holds the spent refresh token (" + std::string(marking.what()) +
                  "): run velmora login before this access token expires";
      }
      warn("the refreshed login could not be saved to " + store.file().string() + ": " + e.what() +
           ". This run goes on with the new token; " + outcome + ".");
    }
    return updated.tokens.access_token;
  }

  std::optional<std::string> hand_out(std::optional<std::string> token) {
    if (token) handed_out_ = *token;
    return token;
  }

  FlowHooks hooks_;
  /// The saved-login access token this instance last returned; empty before the first.
  std::string handed_out_;
  /// Warnings already given.
  std::set<std::string> warned_;
};

}  // namespace

std::unique_ptr<Credentials> make_credentials() {
  return std::make_unique<ServiceCredentials>(system_flow_hooks());
}

std::unique_ptr<Credentials> make_credentials(FlowHooks hooks) {
  return std::make_unique<ServiceCredentials>(std::move(hooks));
}

}  // namespace velmora::oauth
