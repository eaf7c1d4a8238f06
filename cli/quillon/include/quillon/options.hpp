// The option record: the parsed command line, one field per option plus `command`.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace quillon {

struct Options {
  /// "login", "logout" or "run" (also when no word was given).
  std::string command = "run";

  std::optional<std::string> url;
  std::optional<std::string> token;
  std::optional<std::string> user_id;
  std::optional<std::string> thread_id;
  std::optional<std::string> language;
  std::optional<std::string> config;
  std::optional<std::string> system_prompt;
  std::optional<std::string> query;
  std::optional<std::string> scenario;
  std::optional<std::string> file_api_url;
  /// Every `--attachment`, in order.
  std::vector<std::string> attachment;
  /// `--attachments` as given (split later).
  std::optional<std::string> attachments;
  std::int64_t timeout = 1000000;
  bool debug = false;
  bool hide_session_details = false;
  bool non_interactive = false;
  bool plain_output = false;
  bool prompt_shell = false;
  std::optional<std::string> default_freeform_answer;
  std::optional<double> idle_finish_seconds;
  std::optional<std::string> wheel_server_url;
  bool upgrade = false;
};

}  // namespace quillon
