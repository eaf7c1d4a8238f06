// OAuth 2.0 device authorization grant (RFC 8628) against the credentials service, and the
// masking of the token values it shows.
//
// Flow: POST /oauth/device/code → the address is handed to `on_authorize_url` and opened in
// the browser → POST /oauth/token every `interval` seconds (5 more after "slow_down", doubled
// after a network failure) until tokens arrive, the user declines, or `expires_in` passes.
// Every failure is a velmora::base::RuntimeError with a message for the user.
//
//   TokenSet tokens = run_device_flow(options, system_flow_hooks());
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include <boost/json/object.hpp>

#include "velmora/oauth/credentials.hpp"

namespace velmora::oauth {

/// The clock, the pause between polls, the browser and where the component speaks: real ones,
/// or fakes in tests.
struct FlowHooks {
  /// Monotonic seconds.
  std::function<double()> now;
  std::function<void(double seconds)> sleep;
  /// Opens the address; false when no browser could be started (not an error).
  std::function<bool(const std::string& url)> open_browser;
  /// Tells the user about a saved login that failed them (once each); empty: "Warning: " lines
  /// on standard error.
  std::function<void(const std::string& text)> warn;
  /// Explains a decision (a refresh skipped, a lock not taken) under --debug; empty: silent.
  std::function<void(const std::string& text)> debug;
};

/// With `debug`, decisions are explained in "debug: " lines on standard error.
[[nodiscard]] FlowHooks system_flow_hooks(bool debug = false);

/// The real credentials component with other hooks (tests: a fake clock and browser).
[[nodiscard]] std::unique_ptr<Credentials> make_credentials(FlowHooks hooks);

/// Starts the system's opener (xdg-open, or open on macOS) found on PATH, without a shell.
bool open_in_browser(const std::string& url);

/// Tokens of a completed login (not saved); `id_token` receives the id token when one came.
/// Throws velmora::base::RuntimeError.
[[nodiscard]] TokenSet run_device_flow(const LoginFlowOptions& options, const FlowHooks& hooks,
                                       std::string* id_token = nullptr);

/// A token as it may be shown (velmora::platform::mask_token): the first 8 characters then "…"
/// (fewer for short tokens, so at least half stays hidden).
[[nodiscard]] std::string mask_token(std::string_view token);

/// `response` with the values of access_token, refresh_token, id_token and device_code masked
/// at any depth (velmora::platform::mask_secrets).
[[nodiscard]] boost::json::object mask_poll_response(const boost::json::object& response);

}  // namespace velmora::oauth
