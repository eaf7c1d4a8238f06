#include "velmora/runtime_config.hpp"

#include <algorithm>
#include <iostream>
#include <utility>

#include <boost/uuid/random_generator.hpp>
#include <boost/uuid/uuid_io.hpp>

#include "velmora/cli_errors.hpp"
#include "velmora/config_payload.hpp"
#include "velmora/dotenv.hpp"
#include "velmora/dotenv_trust.hpp"
#include "velmora/terminal_mode.hpp"
#include "velmora/platform/env.hpp"
#include "velmora/term/text_width.hpp"
#include "velmora/base/errors.hpp"

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

/// The token's user; a rejected token is refreshed once (the refreshed one replaces `token`)
/// when the saved login may be used.
std::optional<std::string> user_of_token(velmora::oauth::Credentials& credentials,
                                         const RuntimeConfig& cfg, std::string& token) {
  try {
    return present(credentials.fetch_user_id_from_token(cfg.oauth_base_url, token));
  } catch (const InvalidTokenError& first) {
    const auto first_error = std::current_exception();
    if (!cfg.saved_login_allowed) raise_invalid_token(first, first_error);
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

/// The `.env` file as the user knows it: "./.env" rather than ".env".
std::string shown_path(const std::filesystem::path& file) {
  const std::string text = file.string();
  if (file.is_absolute() || text.starts_with("./") || text.starts_with("../")) return text;
  return "./" + text;
}

struct EndpointVariable {
  std::string_view key;
  std::string_view variable;
  std::string_view option;
};
constexpr EndpointVariable ENDPOINT_VARIABLES[] = {
    {"url", "QUILLON_URL", "--url"},
    {"file_api_url", "QUILLON_FILE_API_URL", "--file-api-url"},
    {"oauth_base_url", "VELMORA_OAUTH_BASE_URL", ""},
};

const EndpointVariable& endpoint_variable(std::string_view key) {
  for (const auto& endpoint : ENDPOINT_VARIABLES) {
    if (endpoint.key == key) return endpoint;
  }
  throw velmora::base::TypeError("unknown endpoint setting: " + std::string(key));
}

std::pair<SettingSource, std::optional<std::string>> endpoint_of(const RuntimeConfig& cfg,
                                                                 std::string_view key) {
  if (key == "url") return {cfg.url_source, cfg.url};
  if (key == "file_api_url") return {cfg.file_api_url_source, cfg.file_api_url};
  return {cfg.oauth_base_url_source, cfg.oauth_base_url};
}

/// The endpoints of `cfg` that its `.env` file chose.
DotenvEndpoints endpoints_from_dotenv(const RuntimeConfig& cfg) {
  DotenvEndpoints chosen;
  if (!cfg.dotenv_file) return chosen;
  chosen.file = *cfg.dotenv_file;
  for (const auto& endpoint : ENDPOINT_VARIABLES) {
    const auto [source, value] = endpoint_of(cfg, endpoint.key);
    if (source == SettingSource::dotenv && value) {
      chosen.settings.push_back({std::string(endpoint.variable), *value});
    }
  }
  return chosen;
}

[[noreturn]] void refuse_dotenv_endpoints(const DotenvEndpoints& chosen) {
  std::string where;
  for (const auto& setting : chosen.settings) {
    const auto& endpoint = [&]() -> const EndpointVariable& {
      for (const auto& candidate : ENDPOINT_VARIABLES) {
        if (candidate.variable == setting.variable) return candidate;
      }
      return ENDPOINT_VARIABLES[0];
    }();
    where += where.empty() ? "" : ", ";
    where += endpoint.option.empty()
                 ? std::string(endpoint.variable)
                 : std::string(endpoint.option) + " or " + std::string(endpoint.variable);
  }
  throw CliInvocationError(
      "config",
      chosen.file.string() + " sets " + describe_settings(chosen.settings) +
          ": your saved login is not used there until you trust that file.",
      "Run velmora in a terminal in this folder and answer y to trust it, or give the endpoint (" +
          where +
          ") or the token (--token or VELMORA_AUTH_TOKEN) on the command line or in the "
          "environment.");
}

/// Returns once the user trusts the endpoints a `.env` file chose (asking when someone can
/// answer); otherwise the run stops with the ways out.
void require_dotenv_trust(const DotenvEndpoints& chosen, DotenvTrustStore& store,
                          const RuntimeDefaultsHooks& hooks, bool can_ask) {
  if (!can_ask || !hooks.confirm_dotenv_trust) refuse_dotenv_endpoints(chosen);
  const std::string question =
      velmora::term::printable_text(shown_path(hooks.dotenv_file) + " sets " +
                                    describe_settings(chosen.settings)) +
      "; use your saved login there? [y/N] ";
  if (!hooks.confirm_dotenv_trust(question)) refuse_dotenv_endpoints(chosen);
  store.trust(chosen);
}

}  // namespace

std::string describe_setting_source(const RuntimeConfig& cfg, std::string_view key) {
  const auto& endpoint = endpoint_variable(key);
  switch (endpoint_of(cfg, key).first) {
    case SettingSource::option:
      return endpoint.option.empty() ? std::string(endpoint.variable)
                                     : std::string(endpoint.option);
    case SettingSource::environment:
      return std::string(endpoint.variable);
    case SettingSource::dotenv:
      return std::string(endpoint.variable) + " in " +
             (cfg.dotenv_file ? cfg.dotenv_file->string() : std::string(".env"));
    case SettingSource::builtin:
      break;
  }
  return "built-in default";
}

std::string random_thread_id() {
  thread_local boost::uuids::random_generator generate;
  return boost::uuids::to_string(generate());
}

RuntimeConfig load_runtime_defaults(const Options& args, velmora::oauth::Credentials& credentials,
                                    const RuntimeDefaultsHooks& hooks) {
  using velmora::platform::get_env;
  const auto from_file = load_dotenv(hooks.dotenv_file);
  const auto source_of = [&from_file](std::string_view variable, bool option, bool environment) {
    if (option) return SettingSource::option;
    if (!environment) return SettingSource::builtin;
    const bool in_file =
        std::any_of(from_file.begin(), from_file.end(),
                    [&](const DotenvEntry& entry) { return entry.key == variable; });
    return in_file ? SettingSource::dotenv : SettingSource::environment;
  };

  RuntimeConfig cfg;
  if (!from_file.empty()) {
    std::error_code ec;
    const auto absolute = std::filesystem::absolute(hooks.dotenv_file, ec);
    cfg.dotenv_file = ec ? hooks.dotenv_file : absolute.lexically_normal();
  }
  cfg.oauth_base_url = credentials.resolve_oauth_base_url();
  cfg.oauth_base_url_source =
      source_of("VELMORA_OAUTH_BASE_URL", false, clean_env("VELMORA_OAUTH_BASE_URL").has_value());
  cfg.oauth_client_id = credentials.resolve_oauth_client_id();
  // Parsed before any login so a typo never costs the user a browser round trip.
  auto config_payload = parse_config_payload(args.config);

  const auto url_option = clean_optional_str(args.url);
  const auto url_env = clean_env("QUILLON_URL");
  cfg.url = first_present(url_option, url_env, credentials.env_default("ws_url"));
  cfg.url_source = source_of("QUILLON_URL", url_option.has_value(), url_env.has_value());
  auto token = first_present(clean_optional_str(args.token), clean_env("VELMORA_AUTH_TOKEN"));
  const auto file_api_option = present(args.file_api_url);
  const auto file_api_env = present(get_env("QUILLON_FILE_API_URL"));
  cfg.file_api_url =
      first_present(file_api_option, file_api_env, credentials.env_default("file_api_url"));
  cfg.file_api_url_source =
      source_of("QUILLON_FILE_API_URL", file_api_option.has_value(), file_api_env.has_value());
  auto user_id = first_present(clean_optional_str(args.user_id), clean_env("QUILLON_USER_ID"));

  // Endpoints a folder chose get the saved login only once the user trusts that folder's file.
  const DotenvEndpoints chosen = endpoints_from_dotenv(cfg);
  std::optional<DotenvTrustStore> trust_store;
  if (!chosen.settings.empty()) {
    trust_store.emplace(hooks.dotenv_trust_file.value_or(DotenvTrustStore::default_location()),
                        [](const std::string& warning) {
                          std::cerr << "Warning: " << velmora::term::printable_text(warning)
                                    << "\n";
                        });
    cfg.saved_login_allowed = trust_store->trusts(chosen);
  }

  if (!token) {
    if (!cfg.saved_login_allowed) {
      // A chat gateway has no one at the keyboard, whatever its terminal says.
      require_dotenv_trust(chosen, *trust_store, hooks,
                           !config_indicates_tarnquist_feishu(config_payload));
      cfg.saved_login_allowed = true;
    }
    token = present(credentials.get_valid_token(cfg.oauth_base_url, cfg.oauth_client_id));
  }
  if (!token && !user_id) {
    if (!hooks.browser_login) {
      throw CliInvocationError("auth", "Login required.",
                               "Run `velmora login` in a terminal first, or pass --token or set "
                               "VELMORA_AUTH_TOKEN.");
    }
    token = login_in_browser(credentials, cfg, hooks);
  }

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
