#include "velmora/runtime_config.hpp"

#include <boost/uuid/random_generator.hpp>
#include <boost/uuid/uuid_io.hpp>

#include "velmora/cli_errors.hpp"
#include "velmora/config_payload.hpp"
#include "velmora/dotenv.hpp"
#include "velmora/terminal_mode.hpp"
#include "velmora/platform/env.hpp"

namespace velmora {

namespace {

using velmora::oauth::InvalidTokenError;
using velmora::term::Console;

std::optional<std::string> clean_env(const char* name) {
  return clean_optional_str(velmora::platform::get_env(name));
}

/// Absent and empty texts both count as "not given".
std::optional<std::string> present(std::optional<std::string> value) {
  if (value && value->empty()) return std::nullopt;
  return value;
}

template <class... Rest>
std::optional<std::string> first_present(std::optional<std::string> first, Rest&&... rest) {
  if (auto value = present(std::move(first))) return value;
  if constexpr (sizeof...(rest) > 0) {
    return first_present(std::forward<Rest>(rest)...);
  } else {
    return std::nullopt;
  }
}

std::optional<std::string> login_in_browser(velmora::oauth::Credentials& credentials,
                                            const RuntimeConfig& cfg,
                                            const RuntimeDefaultsHooks& hooks) {
  const std::shared_ptr<Console> console =
      hooks.login_console ? hooks.login_console() : build_console(false);
  velmora::oauth::LoginFlowOptions options;
  options.oauth_base_url = cfg.oauth_base_url;
  options.client_id = cfg.oauth_client_id;
  options.on_authorize_url = [console](const std::string& url) {
    console->print("[bold]No saved credentials \u2014 opening browser for login\u2026[/bold]");
    console->print("If the browser did not open, copy this URL:\n[link]" + Console::escape(url) +
                   "[/link]");
  };
  auto result = credentials.run_login_flow(options);
  console->print("[green]Login successful![/green]");
  return present(std::move(result.tokens.access_token));
}

[[noreturn]] void raise_invalid_token(const InvalidTokenError& first, std::exception_ptr cause) {
  throw CliInvocationError(
      "auth", "The provided token is invalid or expired.",
      "Token refresh failed. Run `velmora login` and complete browser authorization.",
      std::string(first.what()), std::move(cause));
}

/// The token's user; a rejected token is refreshed once (the refreshed one replaces `token`).
std::optional<std::string> user_of_token(velmora::oauth::Credentials& credentials,
                                         const RuntimeConfig& cfg, std::string& token) {
  try {
    return present(credentials.fetch_user_id_from_token(cfg.oauth_base_url, token));
  } catch (const InvalidTokenError& first) {
    const auto first_error = std::current_exception();
    auto refreshed =
        present(credentials.force_refresh_token(cfg.oauth_base_url, cfg.oauth_client_id));
    if (!refreshed) raise_invalid_token(first, first_error);
    token = *refreshed;
    try {
      return present(credentials.fetch_user_id_from_token(cfg.oauth_base_url, token));
    } catch (const InvalidTokenError&) {
      raise_invalid_token(first, first_error);
    }
  }
}

std::string strip_trailing_slashes(std::string text) {
  while (!text.empty() && text.back() == '/') text.pop_back();
  return text;
}

}  // namespace

std::string random_thread_id() {
  thread_local boost::uuids::random_generator generate;
  return boost::uuids::to_string(generate());
}

RuntimeConfig load_runtime_defaults(const Options& args, velmora::oauth::Credentials& credentials,
                                    const RuntimeDefaultsHooks& hooks) {
  using velmora::platform::get_env;
  load_dotenv(hooks.dotenv_file);

  RuntimeConfig cfg;
  cfg.oauth_base_url = credentials.resolve_oauth_base_url();
  cfg.oauth_client_id = credentials.resolve_oauth_client_id();
  // Parsed before any login so a typo never costs the user a browser round trip.
  auto config_payload = parse_config_payload(args.config);

  cfg.url = first_present(clean_optional_str(args.url), clean_env("QUILLON_URL"),
                          credentials.env_default("ws_url"));
  auto token = first_present(clean_optional_str(args.token), clean_env("VELMORA_AUTH_TOKEN"));
  cfg.file_api_url = first_present(args.file_api_url, get_env("QUILLON_FILE_API_URL"),
                                   credentials.env_default("file_api_url"));
  auto user_id = first_present(clean_optional_str(args.user_id), clean_env("QUILLON_USER_ID"));

  if (!token) {
    token = present(credentials.get_valid_token(cfg.oauth_base_url, cfg.oauth_client_id));
  }
  if (!token && !user_id) token = login_in_browser(credentials, cfg, hooks);

  if (token) {
    if (auto token_user = user_of_token(credentials, cfg, *token)) {
      if (user_id && *user_id != *token_user) {
        throw CliInvocationError("auth", "Provided user_id does not match the token.",
                                 "Token identifies user '" + *token_user +
                                     "'. Remove --user-id or pass the correct value.");
      }
      user_id = std::move(token_user);
    }
  }

  if (user_id) {
    auto account = present(
        credentials.fetch_devevaro_account(cfg.oauth_base_url, *user_id, token.value_or("")));
    if (account) {
      if (!config_payload) config_payload.emplace();
      (*config_payload)["devevaro_account"] = *account;
    }
  }

  cfg.token = std::move(token);
  cfg.user_id = std::move(user_id);
  cfg.language = first_present(clean_optional_str(args.language), clean_env("QUILLON_LANGUAGE"));
  cfg.thread_id = clean_optional_str(args.thread_id);
  cfg.explicit_thread_id = cfg.thread_id.has_value();
  if (!cfg.thread_id && (cfg.user_id || cfg.token)) {
    cfg.thread_id = hooks.new_thread_id ? hooks.new_thread_id() : random_thread_id();
  }
  cfg.scenario = first_present(clean_optional_str(args.scenario), clean_env("QUILLON_SCENARIO"))
                     .value_or(std::string(DEFAULT_SCENARIO));
  cfg.wheel_server_url = strip_trailing_slashes(
      first_present(args.wheel_server_url, get_env("QUILLON_WHEEL_SERVER_URL"))
          .value_or(std::string(DEFAULT_WHEEL_SERVER_URL)));
  cfg.tarnquist_mode = config_indicates_tarnquist_feishu(config_payload);
  cfg.config_payload = std::move(config_payload);
  return cfg;
}

void validate_runtime_contract(const RuntimeConfig& cfg) {
  if (!cfg.url) {
    throw CliInvocationError(
        "config", "Missing websocket endpoint.",
        cfg.tarnquist_mode ? "Set QUILLON_URL in the launcher environment. Tarnquist-style calls "
                             "do not fall back to localhost."
                           : "Pass --url or set QUILLON_URL before running the CLI.");
  }
  if (!cfg.user_id && !cfg.token) {
    throw CliInvocationError(
        "config", "Missing user identity.",
        "Pass --user-id or --token, or run the CLI interactively to trigger browser login.");
  }
  if (!cfg.token) {
    throw CliInvocationError(
        "auth", "Missing auth token.",
        "Pass --token, set VELMORA_AUTH_TOKEN, or run the CLI interactively to trigger browser "
        "login.");
  }
}

}  // namespace velmora
