// Start-up and connect failures as the user sees them: a category, a one-line summary, a hint
// and the underlying detail. Classification is textual (lower-cased message, or the error's
// kind name when the message is empty), so errors of any library are recognised.
//
//   catch (const std::exception& e) {
//     const auto info = classify_cli_error(e, /*during_connect=*/true);
//     renderer.render_invocation_error(info.summary, info.hint, info.detail, debug);
//   }
#pragma once

#include <exception>
#include <optional>
#include <string>
#include <string_view>

#include "velmora/base/errors.hpp"
#include "velmora/oauth/credentials.hpp"
#include "velmora/runtime_config.hpp"

namespace velmora {

/// Raised when the CLI invocation contract is invalid before connect; `what()` is the summary.
class CliInvocationError : public velmora::base::Error {
 public:
  CliInvocationError(std::string category, std::string summary, std::string hint,
                     std::optional<std::string> detail = std::nullopt,
                     std::exception_ptr cause = nullptr);
  [[nodiscard]] std::string_view kind_name() const noexcept override;

  /// "config" or "auth".
  [[nodiscard]] const std::string& category() const noexcept { return category_; }
  [[nodiscard]] const std::string& summary() const noexcept { return summary_; }
  [[nodiscard]] const std::string& hint() const noexcept { return hint_; }
  [[nodiscard]] const std::optional<std::string>& detail() const noexcept { return detail_; }

 private:
  std::string category_;
  std::string summary_;
  std::string hint_;
  std::optional<std::string> detail_;
};

/// User-facing error summary for startup and connect failures.
struct CliErrorInfo {
  /// "auth", "network" or "config" (or an invocation error's own category).
  std::string category;
  std::string summary;
  std::string hint;
  std::optional<std::string> detail;
  friend bool operator==(const CliErrorInfo&, const CliErrorInfo&) = default;
};

/// The text names an authentication problem (401, invalid status, token, unauthorized, ...).
[[nodiscard]] bool looks_like_auth_error(std::string_view detail);
/// The text names a transport problem (time-out, refused, reset, DNS, TLS, proxy, ...).
[[nodiscard]] bool looks_like_network_error(std::string_view detail);

/// Never fails. `during_connect` makes every non-authentication failure a network failure.
[[nodiscard]] CliErrorInfo classify_cli_error(const std::exception& exc,
                                              bool during_connect = false);

/// A fresh access token from the saved refresh credential, or nothing. Calls nothing when the
/// OAuth base address or client id is unknown, or when the run may not use the saved login
/// (`saved_login_allowed`); the component's errors propagate.
[[nodiscard]] std::optional<std::string> try_refresh_token(
    const RuntimeConfig& cfg, velmora::oauth::Credentials& credentials);

}  // namespace velmora
