// A scripted credentials component that records every call.
#pragma once

#include <deque>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "velmora/oauth/credentials.hpp"

namespace velmora::testing {

/// A look-up answer: a value, or the text of an InvalidTokenError to throw.
struct Rejected {
  std::string message;
};
using UserAnswer = std::variant<std::optional<std::string>, Rejected>;

class FakeCredentials : public velmora::oauth::Credentials {
 public:
  std::string base_url = "http://oauth.test";
  std::string client_id = "velmora-cli";
  std::optional<std::string> ws_default;
  std::optional<std::string> file_api_default;
  std::optional<std::string> saved_token;
  std::string login_token = "login-token";
  std::string authorize_url = "https://login.test/device?code=AB[1]";
  /// Answers to fetch_user_id_from_token, in order; the last one repeats.
  std::deque<UserAnswer> user_answers{std::optional<std::string>{}};
  std::deque<std::optional<std::string>> refresh_answers{std::optional<std::string>{}};
  std::optional<std::string> account;

  std::vector<std::string> calls;
  std::vector<std::string> looked_up_tokens;
  std::optional<std::string> account_token;

  std::string resolve_oauth_base_url() override { return base_url; }
  std::string resolve_oauth_client_id() override { return client_id; }
  std::optional<std::string> env_default(std::string_view key) override {
    return key == "ws_url" ? ws_default : file_api_default;
  }
  std::optional<std::string> get_valid_token(const std::string&, const std::string&) override {
    calls.emplace_back("get_valid_token");
    return saved_token;
  }
  velmora::oauth::LoginResult run_login_flow(
      const velmora::oauth::LoginFlowOptions& options) override {
    calls.emplace_back("run_login_flow");
    options.on_authorize_url(authorize_url);
    velmora::oauth::LoginResult result;
    result.tokens.access_token = login_token;
    return result;
  }
  std::optional<std::string> fetch_user_id_from_token(const std::string&,
                                                      const std::string& token) override {
    calls.emplace_back("fetch_user_id_from_token");
    looked_up_tokens.push_back(token);
    auto answer = user_answers.front();
    if (user_answers.size() > 1) user_answers.pop_front();
    if (auto* rejected = std::get_if<Rejected>(&answer)) {
      throw velmora::oauth::InvalidTokenError(rejected->message);
    }
    return std::get<std::optional<std::string>>(answer);
  }
  std::optional<std::string> force_refresh_token(const std::string&, const std::string&) override {
    calls.emplace_back("force_refresh_token");
    auto answer = refresh_answers.front();
    if (refresh_answers.size() > 1) refresh_answers.pop_front();
    return answer;
  }
  std::optional<std::string> fetch_devevaro_account(const std::string&, const std::string&,
                                                    const std::string& user_token) override {
    calls.emplace_back("fetch_devevaro_account");
    account_token = user_token;
    return account;
  }
  bool clear_saved_tokens() override { return false; }
};

}  // namespace velmora::testing
