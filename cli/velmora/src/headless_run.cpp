#include "velmora/headless_run.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iostream>

#include "velmora/base/json_text.hpp"
#include "velmora/completion_wait.hpp"
#include "velmora/platform/env.hpp"
#include "velmora/terminal_mode.hpp"

namespace velmora {

namespace {

/// A command line that parsed but cannot run.
struct UsageError {
  std::string message;
};

OutputFormat resolve_format(const Options& args) {
  if (args.output_format) {
    // The parser admits only the three names.
    return parse_output_format(*args.output_format).value_or(OutputFormat::text);
  }
  const auto from_env = clean_optional_str(velmora::platform::get_env("VELMORA_OUTPUT_FORMAT"));
  if (!from_env) return OutputFormat::text;
  if (auto format = parse_output_format(*from_env)) return *format;
  throw UsageError{"VELMORA_OUTPUT_FORMAT: '" + velmora::base::sanitize_utf8(*from_env) +
                   "' is not one of text, json, stream-json"};
}

/// Whether standard input carries JSON lines (`--input-format`, else VELMORA_INPUT_FORMAT).
bool resolve_persistent(const Options& args) {
  if (args.input_format) return *args.input_format == "stream-json";
  const auto from_env = clean_optional_str(velmora::platform::get_env("VELMORA_INPUT_FORMAT"));
  if (!from_env || *from_env == "text") return false;
  if (*from_env == "stream-json") return true;
  throw UsageError{"VELMORA_INPUT_FORMAT: '" + velmora::base::sanitize_utf8(*from_env) +
                   "' is not one of text, stream-json"};
}

/// Standard input to its end, refused when it is not a query one would send.
std::string read_stdin_query() {
  std::string text;
  char buffer[65536];
  while (text.size() <= MAX_STDIN_QUERY_BYTES) {
    const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      throw UsageError{std::string("--query -: standard input cannot be read: ") +
                       std::strerror(errno)};
    }
    if (n == 0) break;
    text.append(buffer, static_cast<std::size_t>(n));
  }
  if (text.size() > MAX_STDIN_QUERY_BYTES) {
    throw UsageError{"--query -: the query on standard input is over 1 MiB"};
  }
  if (!velmora::base::is_valid_utf8(text)) {
    throw UsageError{"--query -: the query on standard input is not valid UTF-8"};
  }
  // The line break that ends the last line is the input's, not the query's.
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  if (text.find_first_not_of(" \t\r\n") == std::string::npos) {
    throw UsageError{"--query -: the query on standard input is empty"};
  }
  return text;
}

}  // namespace

HeadlessStart start_headless(const Options& args) {
  HeadlessStart start{.args = args};
  OutputFormat format = OutputFormat::text;
  try {
    format = resolve_format(args);
    if (format != OutputFormat::text) {
      start.report = std::make_shared<HeadlessReport>(
          format, HeadlessSessionInfo{.version = std::string(version_text())});
    }
    start.persistent = resolve_persistent(args);
    if (start.persistent) {
      if (format != OutputFormat::stream_json) {
        throw UsageError{"--input-format stream-json needs --output-format stream-json"};
      }
      if (args.query) throw UsageError{"--input-format stream-json excludes --query"};
      start.report->set_persistent();
      // Without --non-interactive the caller answers the agent's questions on standard input.
      start.answers_from_input = !args.non_interactive;
    }
    if (args.query && *args.query == "-") start.args.query = read_stdin_query();
    if (format != OutputFormat::text && !start.persistent && !is_one_shot_query(start.args)) {
      throw UsageError{"--output-format " +
                       std::string(format == OutputFormat::json ? "json" : "stream-json") +
                       " needs --query"};
    }
  } catch (const UsageError& e) {
    print_usage_error(std::cerr, e.message);
    std::cerr.flush();
    if (start.report) {
      start.report->expect_error_kind("usage");
      start.report->error("Invalid command line.", "Run 'velmora --help' for the options.",
                          e.message);
      (void)start.report->finish(2);
    }
    start.exit_status = 2;
    return start;
  }
  if (start.report) {
    // Nobody answers questions or reads colours on the far side of a JSON stream.
    start.args.plain_output = true;
    start.args.non_interactive = true;
    start.args.prompt_shell = false;
  }
  return start;
}

void WatchedStdout::write(std::string_view bytes) {
  const bool failed_before = out_.error().has_value();
  out_.write(bytes);
  if (!failed_before && out_.error() && on_failure_) on_failure_();
}

int end_run(HeadlessReport* report, const WatchedStdout* stdout_watch, int status) {
  std::optional<std::string> failure;
  if (report != nullptr) {
    status = report->finish(status);
    failure = report->output_failure();
  } else if (stdout_watch != nullptr && stdout_watch->error()) {
    failure = std::strerror(*stdout_watch->error());
    status = 1;
  }
  if (failure) {
    std::cerr << "velmora: the output could not be written to standard output: " << *failure
              << "\n";
    std::cerr.flush();
  }
  return status;
}

}  // namespace velmora
