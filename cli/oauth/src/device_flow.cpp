#include "velmora/oauth/device_flow.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <thread>

#include "service_calls.hpp"
#include "velmora/http/encoding.hpp"
#include "velmora/platform/process.hpp"
#include "velmora/platform/secret_mask.hpp"
#include "velmora/base/errors.hpp"

namespace velmora::oauth {
namespace {

constexpr std::string_view DEVICE_GRANT = "urn:ietf:params:oauth:grant-type:device_code";
constexpr double REQUEST_TIMEOUT_SECONDS = 30;
constexpr double DEFAULT_INTERVAL_SECONDS = 5;
constexpr double MIN_INTERVAL_SECONDS = 0.1;
constexpr double MAX_BACKOFF_SECONDS = 60;
constexpr double SLOW_DOWN_STEP_SECONDS = 5;

constexpr double DEFAULT_EXPIRES_IN_SECONDS = 900;
// Gateways run the automatic login unattended: a service asking for more must not keep a run
// waiting for hours.
constexpr double MAX_EXPIRES_IN_SECONDS = 3600;

using detail::JsonAnswer;

double wall_seconds() {
  using namespace std::chrono;
  return duration<double>(system_clock::now().time_since_epoch()).count();
}

std::string format_seconds(double seconds) {
  return std::to_string(static_cast<long long>(std::llround(seconds))) + " s";
}

TokenSet tokens_from(const boost::json::object& answer) {
  TokenSet tokens;
  tokens.access_token = detail::text_of(answer, "access_token");
  tokens.refresh_token = detail::text_of(answer, "refresh_token");
  tokens.token_type = detail::text_of(answer, "token_type");
  if (tokens.token_type.empty()) tokens.token_type = "Bearer";
  const double expires_in = detail::number_of(answer, "expires_in", 0);
  tokens.expires_at = expires_in > 0 ? wall_seconds() + expires_in : 0;
  return tokens;
}

// Where the user approves: the address with the code filled in, else the plain address with
// the code as a query parameter, since the callback has no other way to show the code.
std::string authorize_address(const boost::json::object& start) {
  std::string complete = detail::text_of(start, "verification_uri_complete");
  if (!complete.empty()) return complete;
  std::string plain = detail::text_of(start, "verification_uri");
  if (plain.empty()) plain = detail::text_of(start, "verification_url");
  const std::string code = detail::text_of(start, "user_code");
  if (plain.empty() || code.empty()) return plain;
  return plain + (plain.find('?') == std::string::npos ? "?" : "&") +
         http::form_encode({{"user_code", code}});
}

}  // namespace

FlowHooks system_flow_hooks(bool debug) {
  FlowHooks hooks{
      .now =
          [] {
            using namespace std::chrono;
            return duration<double>(steady_clock::now().time_since_epoch()).count();
          },
      .sleep =
          [](double seconds) {
            std::this_thread::sleep_for(std::chrono::duration<double>(std::max(0.0, seconds)));
          },
      .open_browser = open_in_browser,
      .warn = {},
      .debug = {},
  };
  if (debug) {
    hooks.debug = [](const std::string& text) {
      std::fprintf(stderr, "debug: %s\n", text.c_str());
    };
  }
  return hooks;
}

bool open_in_browser(const std::string& url) {
#ifdef __APPLE__
  const char* opener = "open";
#else
  const char* opener = "xdg-open";
#endif
  const auto program = platform::find_on_path(opener);
  if (!program) return false;
  try {
    return platform::spawn_detached({program->string(), url});
  } catch (const velmora::base::Error&) {
    return false;  // the address is printed for the user to open by hand
  }
}

TokenSet run_device_flow(const LoginFlowOptions& options, const FlowHooks& hooks,
                         std::string* id_token) {
  const std::string base = detail::normalize_base_url(options.oauth_base_url);
  if (base.empty()) {
    throw velmora::base::RuntimeError(
        "No OAuth base URL configured. Set VELMORA_OAUTH_BASE_URL to the address of the "
        "credentials service.");
  }
  const std::string client_id = options.client_id.empty() ? "velmora-cli" : options.client_id;

  // Ask the service for a device code and the address where the user approves it.
  JsonAnswer start;
  try {
    start = detail::post_form(base + "/oauth/device/code", {{"client_id", client_id}},
                              REQUEST_TIMEOUT_SECONDS);
  } catch (const velmora::base::Error& e) {
    throw velmora::base::RuntimeError(
        "Could not reach the credentials service at " + base + ": " + e.what(),
        std::current_exception());
  }
  if (!start.is_success() || !start.object) {
    throw velmora::base::RuntimeError("The credentials service did not start a login: " +
                                detail::describe(start));
  }
  const std::string device_code = detail::text_of(*start.object, "device_code");
  const std::string address = authorize_address(*start.object);
  if (device_code.empty() || address.empty()) {
    throw velmora::base::RuntimeError(
        "The credentials service did not start a login: its answer lacks the device code or "
        "the verification address.");
  }
  double interval = detail::number_of(*start.object, "interval", DEFAULT_INTERVAL_SECONDS);
  if (!(interval >= 0)) interval = DEFAULT_INTERVAL_SECONDS;
  interval = std::max(interval, MIN_INTERVAL_SECONDS);
  double expires_in = detail::number_of(*start.object, "expires_in", DEFAULT_EXPIRES_IN_SECONDS);
  if (!(expires_in > 0)) expires_in = DEFAULT_EXPIRES_IN_SECONDS;
  expires_in = std::min(expires_in, MAX_EXPIRES_IN_SECONDS);
  const double deadline = hooks.now() + expires_in;

  // Show the address, then try the browser; without one the user copies the address.
  if (options.on_authorize_url) options.on_authorize_url(address);
  if (hooks.open_browser) hooks.open_browser(address);

  // Poll until the user decides or the code expires.
  std::string last_network_error;
  while (true) {
    const double remaining = deadline - hooks.now();
    if (interval >= remaining) {
      if (remaining > 0) hooks.sleep(remaining);
      throw velmora::base::RuntimeError(
          "Timed out after " + format_seconds(expires_in) +
          " waiting for the login to be approved in the browser." +
          (last_network_error.empty() ? "" : " Last network error: " + last_network_error));
    }
    hooks.sleep(interval);

    JsonAnswer answer;
    try {
      answer = detail::post_form(base + "/oauth/token",
                                 {{"grant_type", std::string(DEVICE_GRANT)},
                                  {"device_code", device_code},
                                  {"client_id", client_id}},
                                 REQUEST_TIMEOUT_SECONDS);
    } catch (const velmora::base::Error& e) {
      // A network hiccup is worth another try, at a gentler pace.
      last_network_error = e.what();
      interval = std::min(std::max(interval * 2, 1.0), MAX_BACKOFF_SECONDS);
      continue;
    }
    if (answer.object && options.on_poll_response) {
      options.on_poll_response(mask_poll_response(*answer.object));
    }

    if (answer.is_success() && answer.object) {
      TokenSet tokens = tokens_from(*answer.object);
      if (tokens.access_token.empty()) {
        throw velmora::base::RuntimeError(
            "The credentials service approved the login but sent no access token.");
      }
      if (id_token != nullptr) *id_token = detail::text_of(*answer.object, "id_token");
      return tokens;
    }
    const std::string error = answer.object ? detail::text_of(*answer.object, "error") : "";
    if (error == "authorization_pending") continue;
    if (error == "slow_down") {
      interval += SLOW_DOWN_STEP_SECONDS;
      continue;
    }
    if (error == "access_denied") {
      throw velmora::base::RuntimeError("The login was denied in the browser.");
    }
    if (error == "expired_token") {
      throw velmora::base::RuntimeError("The login code expired before it was approved.");
    }
    throw velmora::base::RuntimeError("The credentials service rejected the login: " +
                                detail::describe(answer, {device_code}));
  }
}

std::string mask_token(std::string_view token) { return platform::mask_token(token); }

boost::json::object mask_poll_response(const boost::json::object& response) {
  return platform::mask_json(boost::json::value(response)).as_object();
}

}  // namespace velmora::oauth
