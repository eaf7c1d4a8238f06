#include "velmora/options.hpp"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <charconv>
#include <cmath>
#include <iostream>
#include <limits>
#include <memory>

#include "velmora/base/strings.hpp"
#include "velmora/constants.hpp"
#include "velmora/platform/secret_mask.hpp"
#include "velmora/program_exit.hpp"

namespace velmora {

namespace {

constexpr std::string_view DESCRIPTION = "Agent Loop CLI for websocket streaming messages.";
constexpr std::string_view PROGRAM = "velmora";

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Number texts as users write them: surrounding blanks, a sign, and "_" between digits
// ("1_000"). Returns the text without underscores, or nothing when one is misplaced.
std::optional<std::string> without_digit_separators(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '_') {
      out += text[i];
      continue;
    }
    if (i == 0 || i + 1 == text.size() || !is_digit(text[i - 1]) || !is_digit(text[i + 1])) {
      return std::nullopt;
    }
  }
  return out;
}

std::optional<std::int64_t> parse_integer(std::string_view raw) {
  const auto text = without_digit_separators(base::trim(raw));
  if (!text || text->empty()) return std::nullopt;
  std::string_view digits = *text;
  bool negative = false;
  if (digits.front() == '+' || digits.front() == '-') {
    negative = digits.front() == '-';
    digits.remove_prefix(1);
  }
  if (digits.empty() || !is_digit(digits.front())) return std::nullopt;
  std::uint64_t magnitude = 0;
  const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), magnitude);
  if (ec != std::errc{} || end != digits.data() + digits.size()) return std::nullopt;
  constexpr auto MAX = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
  if (magnitude > MAX + (negative ? 1 : 0)) return std::nullopt;
  if (negative) return static_cast<std::int64_t>(0 - magnitude);
  return static_cast<std::int64_t>(magnitude);
}

std::optional<double> parse_decimal(std::string_view raw) {
  const auto text = without_digit_separators(base::trim(raw));
  if (!text || text->empty()) return std::nullopt;
  std::string_view body = *text;
  double sign = 1.0;
  if (body.front() == '+' || body.front() == '-') {
    sign = body.front() == '-' ? -1.0 : 1.0;
    body.remove_prefix(1);
  }
  const std::string lowered = base::ascii_lower(body);
  if (lowered == "inf" || lowered == "infinity")
    return sign * std::numeric_limits<double>::infinity();
  if (lowered == "nan") return std::numeric_limits<double>::quiet_NaN();
  // from_chars would also take "inf" spellings and hex forms; only decimal text gets here.
  if (body.empty() || !(is_digit(body.front()) || body.front() == '.')) return std::nullopt;
  if (lowered.find_first_of("x") != std::string::npos) return std::nullopt;
  double value = 0;
  const auto [end, ec] = std::from_chars(body.data(), body.data() + body.size(), value);
  if (ec != std::errc{} || end != body.data() + body.size()) return std::nullopt;
  return sign * value;
}

// Every option writes as soon as it is read, so the record follows the command line's order
// whichever parser (top level or `run`) read it.
CLI::Option* text_option(CLI::App& parser, const std::string& flags,
                         std::optional<std::string>& field, const std::string& help) {
  return parser
      .add_option(
          flags,
          [&field](const CLI::results_t& results) {
            field = results.back();
            return true;
          },
          help)
      ->type_name("TEXT")
      ->type_size(1)
      ->expected(1)
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast)
      ->trigger_on_parse();
}

CLI::Option* flag_option(CLI::App& parser, const std::string& flags, bool& field,
                         const std::string& help) {
  return parser
      .add_flag_callback(
          flags, [&field]() { field = true; }, help)
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast)
      ->trigger_on_parse();
}

// A parse error may quote the arguments it could not place; a token among them is shown only
// in its debug form.
std::string hide_tokens(const std::string& message, const std::vector<std::string>& args) {
  std::vector<std::string> tokens;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--token" && i + 1 < args.size()) tokens.push_back(args[i + 1]);
    if (args[i].starts_with("--token=")) tokens.push_back(args[i].substr(8));
  }
  return velmora::platform::mask_secrets(message, tokens);
}

}  // namespace

void print_usage_error(std::ostream& err, const std::string& message) {
  err << "Usage: " << PROGRAM << " [OPTIONS] [SUBCOMMAND]\n"
      << "       " << PROGRAM << " run [OPTIONS]\n"
      << PROGRAM << ": error: " << message << "\n"
      << "Run '" << PROGRAM << " --help' for the options.\n";
}

std::string version_text(std::string_view release_tag, std::string_view build_version) {
  return std::string(shown_version(release_tag, build_version));
}

std::string version_text() { return version_text(CLI_RELEASE_TAG, CLI_BUILD_VERSION); }

void add_run_arguments(CLI::App& parser, Options& o) {
  text_option(parser, "--url", o.url, "WebSocket endpoint URL.");
  text_option(parser, "--token", o.token, "Auth token. If omitted, VELMORA_AUTH_TOKEN is used.");
  text_option(parser, "--user-id", o.user_id, "User ID.");
  text_option(parser, "--thread-id", o.thread_id,
              "Thread ID. If omitted, a new websocket session is created.");
  text_option(parser, "--language", o.language, "Language code (e.g. en, zh-CN, ja).");
  text_option(parser, "--config", o.config,
              "Config object sent in query payload. Accepts JSON like "
              "'{\"devevaro_account\":\"123\"}' or PowerShell-friendly object text like "
              "\"{devevaro_account:123}\".");
  text_option(parser, "--system-prompt", o.system_prompt,
              "Optional system_prompt sent in query payload.");
  text_option(parser, "--query", o.query, "One-shot mode: send one query and exit after complete.");
  text_option(parser, "--scenario", o.scenario,
              "Optional scenario sent in query payload (defaults to \"keyword\").");
  text_option(parser, "--file-api-url", o.file_api_url,
              "File API base URL used to upload local attachments.");
  parser
      .add_option(
          "--attachment",
          [&o](const CLI::results_t& results) {
            o.attachment.push_back(results.back());
            return true;
          },
          "Local file path to upload and attach (repeat for multiple files).")
      // FILE and FILES also tell the generated shell completions to offer file names.
      ->type_name("FILE")
      ->type_size(1)
      ->expected(1)
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast)
      ->trigger_on_parse();
  text_option(parser, "--attachments", o.attachments,
              "Comma-separated local file paths, e.g. --attachments file1,file2")
      ->type_name("FILES");
  parser
      .add_option(
          "--timeout",
          [&o](const CLI::results_t& results) {
            const auto value = parse_integer(results.back());
            if (value) o.timeout = *value;
            return value.has_value();
          },
          "One-shot mode timeout in seconds (default: 1000000).")
      ->type_name("INT")
      ->type_size(1)
      ->expected(1)
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast)
      ->trigger_on_parse();
  flag_option(parser, "--debug", o.debug,
              "Print raw websocket messages for both send and receive.");
  flag_option(parser, "--hide-session-details", o.hide_session_details,
              "Hide endpoint/user_id/thread_id in the session banner.");
  flag_option(parser, "--non-interactive", o.non_interactive,
              "Auto-answer prompts instead of reading stdin.");
  flag_option(parser, "--plain-output", o.plain_output,
              "Disable animated/rich-heavy output for subprocess or IM usage.");
  flag_option(parser, "--prompt-shell", o.prompt_shell,
              "Enable the experimental prompt_toolkit shell for interactive mode.");
  text_option(parser, "--default-freeform-answer", o.default_freeform_answer,
              "Fallback answer used for freeform AskUserQuestion prompts in non-interactive mode.");
  parser
      .add_option(
          "--idle-finish-seconds",
          [&o](const CLI::results_t& results) {
            const auto value = parse_decimal(results.back());
            if (value) o.idle_finish_seconds = *value;
            return value.has_value();
          },
          "Optional idle-finish shortcut for one-shot mode. By default the CLI waits for "
          "complete or timeout.")
      ->type_name("FLOAT")
      ->type_size(1)
      ->expected(1)
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast)
      ->trigger_on_parse();
  text_option(parser, "--wheel-server-url", o.wheel_server_url,
              "Base URL for wheel server used by self-upgrade.");
  flag_option(parser, "--upgrade", o.upgrade, "Upgrade CLI from wheel server and exit.");
  text_option(parser, "--output-format", o.output_format,
              "Output for programs: text (default), json (one result object) or stream-json "
              "(one JSON event per line, then the result). VELMORA_OUTPUT_FORMAT stands in.")
      ->type_name("FORMAT")
      ->check(CLI::IsMember({"text", "json", "stream-json"}));
  text_option(parser, "--input-format", o.input_format,
              "Input for programs: text (default) or stream-json (JSON lines on stdin: queries, "
              "answers, interrupts; one session, many turns; needs --output-format stream-json). "
              "VELMORA_INPUT_FORMAT stands in.")
      ->type_name("FORMAT")
      ->check(CLI::IsMember({"text", "stream-json"}));
}

std::unique_ptr<CLI::App> make_parser(Options& options, bool run_options) {
  auto app = std::make_unique<CLI::App>(std::string(DESCRIPTION), std::string(PROGRAM));
  app->set_version_flag("-v,--version", std::string(PROGRAM) + " " + version_text(),
                        "Show the version and exit.");
  app->require_subcommand(0, 1);
  app->add_subcommand("login", "Log in via browser OAuth flow.");
  app->add_subcommand("logout", "Clear saved OAuth tokens and log out.");
  auto* run = app->add_subcommand("run", "Start an agent session (default).");
  if (run_options) add_run_arguments(*run, options);
  add_run_arguments(*app, options);
  return app;
}

Options parse_args(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  Options options;
  // CLI11 checks each option it adds against every one before it, and the run options exist
  // twice (top level and `run`): the second set was a seventh of a one-shot's instructions
  // before it connects. Only a command line with a "run" argument can select `run`.
  const bool names_run = std::ranges::find(args, "run") != args.end();
  const auto app = make_parser(options, names_run);

  // CLI11 wants the arguments last first.
  std::vector<std::string> reversed(args.rbegin(), args.rend());
  try {
    app->parse(reversed);
  } catch (const CLI::Success& e) {
    // --help and --version: CLI11 prints them itself.
    (void)app->exit(e, out, err);
    throw ProgramExit(0);
  } catch (const CLI::ParseError& e) {
    print_usage_error(err, hide_tokens(e.what(), args));
    throw ProgramExit(2);
  }
  if (app->get_subcommand("login")->parsed()) {
    options.command = "login";
  } else if (app->get_subcommand("logout")->parsed()) {
    options.command = "logout";
  } else {
    options.command = "run";
  }
  return options;
}

Options parse_args(int argc, const char* const* argv) {
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
  return parse_args(args, std::cout, std::cerr);
}

}  // namespace velmora
