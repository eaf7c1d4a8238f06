// Program-wide constants, fixed at start-up.
#pragma once

#include <string_view>

namespace velmora {

/// Scenario sent with queries when neither option nor environment gives one.
inline constexpr std::string_view DEFAULT_SCENARIO = "keyword";
/// Answer to a free-form question in non-interactive runs without --default-freeform-answer.
inline constexpr std::string_view DEFAULT_FREEFORM_ANSWER = "later";
/// Package server of the self-upgrade when neither option nor environment gives one.
inline constexpr std::string_view DEFAULT_WHEEL_SERVER_URL = "http://127.0.0.1:11113";
/// Name of the installed distribution (version text, self-upgrade).
inline constexpr std::string_view PACKAGE_NAME = "velmora_cli";
/// Idle time after a history replay before the prompt is released.
inline constexpr double PROMPT_SHELL_REPLAY_IDLE_SECONDS = 0.75;
/// Hard limit of that wait.
inline constexpr double PROMPT_SHELL_REPLAY_HARD_IDLE_SECONDS = 3.0;

/// Build tag shown by --version (a configure-time setting; may be empty).
extern const std::string_view CLI_RELEASE_TAG;
/// Version the program was built as (the project version).
extern const std::string_view CLI_BUILD_VERSION;

/// The version text: the release tag when non-empty, else the build version, else "0.0.0".
/// Needs nothing at run time: the program's smallest path prints it.
constexpr std::string_view shown_version(std::string_view release_tag,
                                         std::string_view build_version) {
  if (!release_tag.empty()) return release_tag;
  if (!build_version.empty()) return build_version;
  return "0.0.0";
}

}  // namespace velmora
