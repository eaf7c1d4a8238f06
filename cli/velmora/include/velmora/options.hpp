// The option record: the parsed command line, one field per option plus `command`.
//
// The run options are accepted both after the program name and after `run`; both parsers
// write into the same record, so a later occurrence wins.
//
//   auto args = velmora::parse_args(argc, argv);  // may end the program (ProgramExit)
//   if (args.command == "login") ...
#pragma once

#include <cstdint>
#include <iosfwd>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace CLI {
class App;
}

namespace velmora {

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
  /// `--output-format` as given ("text", "json" or "stream-json"); absent: VELMORA_OUTPUT_FORMAT.
  std::optional<std::string> output_format;
  /// `--input-format` as given ("text" or "stream-json"); absent: VELMORA_INPUT_FORMAT.
  std::optional<std::string> input_format;

  friend bool operator==(const Options&, const Options&) = default;
};

/// The version text: the release tag when non-empty, else the build version, else "0.0.0".
[[nodiscard]] std::string version_text(std::string_view release_tag,
                                       std::string_view build_version);
/// The version text of this build.
[[nodiscard]] std::string version_text();

/// Adds the run options, in their documented order, to `parser`, writing into `options`.
void add_run_arguments(CLI::App& parser, Options& options);

/// The whole parser (description, `-v/--version`, the sub-commands and the run options at both
/// levels) writing into `options`. The shell completions and the man page are generated from it.
/// Without `run_options` the `run` sub-command is there, described, but takes no options: enough
/// for a command line that never names it.
[[nodiscard]] std::unique_ptr<CLI::App> make_parser(Options& options, bool run_options = true);

/// Prints the usage lines and "velmora: error: `message`" (what an unparseable command line gets).
void print_usage_error(std::ostream& err, const std::string& message);

/// Parses the arguments that follow the program name. Help and the version are printed to
/// `out` and end the program with status 0; anything unparseable prints the usage and an
/// error line to `err` and ends it with status 2 (both by throwing ProgramExit).
[[nodiscard]] Options parse_args(const std::vector<std::string>& args, std::ostream& out,
                                 std::ostream& err);
/// The same on the process arguments (argv[0] is the program name), printing to the
/// standard streams.
[[nodiscard]] Options parse_args(int argc, const char* const* argv);

}  // namespace velmora
