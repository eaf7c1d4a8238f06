// Runtime configuration: options over environment (after `.env`) over the saved login over
// built-in defaults, resolved once before a session connects, then checked by the invocation
// contract. Every problem is a CliInvocationError (velmora/cli_errors.hpp).
//
//   auto credentials = velmora::oauth::make_credentials();
//   RuntimeConfig cfg = load_runtime_defaults(args, *credentials);
//   validate_runtime_contract(cfg);
//
// Resolving may block on the credentials service (identity look-up, refresh, and, with neither
// a token nor a user id known, an automatic browser login).
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include <boost/json/object.hpp>

#include "velmora/constants.hpp"
#include "velmora/options.hpp"
#include "velmora/oauth/credentials.hpp"
#include "velmora/term/console.hpp"

namespace velmora {

/// Where an endpoint setting of a run came from.
enum class SettingSource {
  option,       ///< the command line
  environment,  ///< the process environment
  dotenv,       ///< a variable the `.env` file set
  builtin,      ///< the built-in default (or none at all)
};

/// The resolved settings of one run; text settings are trimmed and never empty when present
/// (except `file_api_url`, which is taken as given).
struct RuntimeConfig {
  std::optional<std::string> url;
  std::optional<std::string> token;
  std::optional<std::string> file_api_url;
  std::optional<std::string> user_id;
  std::optional<std::string> language;
  /// Set whenever a token or user id is known (a fresh UUID unless `--thread-id` gave one).
  std::optional<std::string> thread_id;
  /// The thread came from `--thread-id`.
  bool explicit_thread_id = false;
  /// Never empty.
  std::string scenario = std::string(DEFAULT_SCENARIO);
  std::optional<boost::json::object> config_payload;
  /// The final `config_payload` says a Tarnquist Feishu/Lark channel runs us.
  bool tarnquist_mode = false;
  /// No trailing "/".
  std::string wheel_server_url = std::string(DEFAULT_WHEEL_SERVER_URL);
  std::string oauth_base_url;
  std::string oauth_client_id;

  SettingSource url_source = SettingSource::builtin;
  SettingSource file_api_url_source = SettingSource::builtin;
  SettingSource oauth_base_url_source = SettingSource::builtin;
  /// Absolute; set when the `.env` file set any variable.
  std::optional<std::filesystem::path> dotenv_file;
  /// False while an endpoint comes from a `.env` file the user has not trusted: nothing of the
  /// saved login (its token, a refresh, a new login) may be used in this run.
  bool saved_login_allowed = true;
};

/// Names where the websocket endpoint ("url"), the File API ("file_api_url") or the OAuth base
/// ("oauth_base_url") came from: "--url", "QUILLON_URL", "QUILLON_URL in /home/me/p/.env",
/// "built-in default".
[[nodiscard]] std::string describe_setting_source(const RuntimeConfig& cfg, std::string_view key);

/// What load_runtime_defaults reaches outside the option record (tests substitute these).
struct RuntimeDefaultsHooks {
  /// Console for the automatic login's messages; default: build_console(false).
  std::function<std::shared_ptr<velmora::term::Console>()> login_console;
  /// Loaded into the environment first, never overriding a set variable.
  std::filesystem::path dotenv_file = ".env";
  /// Fresh thread ids; default: a random version 4 UUID.
  std::function<std::string()> new_thread_id;
  /// Asks whether the saved login may be used with endpoints a `.env` file set (the question,
  /// ending in "[y/N] "); true for yes. Empty when nobody can answer: the run stops instead.
  std::function<bool(const std::string& question)> confirm_dotenv_trust;
  /// Where trusted `.env` files are remembered; default DotenvTrustStore::default_location().
  std::optional<std::filesystem::path> dotenv_trust_file;
  /// Without a token or user id the browser login starts; false: the run stops instead (a
  /// program driving velmora cannot complete a login).
  bool browser_login = true;
};

/// Throws CliInvocationError; errors of the credentials component (a failed login, a failed
/// look-up other than a rejected token) pass through unchanged.
[[nodiscard]] RuntimeConfig load_runtime_defaults(const Options& args,
                                                  velmora::oauth::Credentials& credentials,
                                                  const RuntimeDefaultsHooks& hooks = {});

/// Throws CliInvocationError for a missing endpoint, identity or token (in that order).
void validate_runtime_contract(const RuntimeConfig& cfg);

/// A random version 4 UUID in canonical text form.
[[nodiscard]] std::string random_thread_id();

}  // namespace velmora
