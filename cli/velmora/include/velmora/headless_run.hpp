// The start and the end of a run as programs see them: the output format (`--output-format`,
// else VELMORA_OUTPUT_FORMAT), the input format (`--input-format`), the query read from standard
// input (`--query -`), the usage errors of both, and the verdict on output that could not be
// written.
//
//   HeadlessStart start = start_headless(args);
//   if (start.exit_status) return *start.exit_status;   // a usage error, already reported
//   ... run with start.args; the report (json formats only) gets the events ...
//   return end_run(start.report.get(), /*stdout_watch=*/nullptr, status);
#pragma once

#include <functional>
#include <memory>
#include <optional>

#include "velmora/headless_report.hpp"
#include "velmora/options.hpp"
#include "velmora/term/console.hpp"

namespace velmora {

/// Longest query `--query -` accepts.
inline constexpr std::size_t MAX_STDIN_QUERY_BYTES = 1024 * 1024;

struct HeadlessStart {
  /// The options the run goes on with: the query read from standard input, and for the JSON
  /// formats plain, non-interactive handling.
  Options args;
  /// Present for the JSON formats.
  std::shared_ptr<HeadlessReport> report;
  /// `--input-format stream-json`: one session, its turns driven by JSON lines on standard input.
  bool persistent = false;
  /// A persistent session without `--non-interactive`: questions wait for an answer line.
  bool answers_from_input = false;
  /// Set when the run is over before it began (a usage error: 2).
  std::optional<int> exit_status;
};

/// Resolves the format and the query; a usage error is printed on standard error (and, for the
/// JSON formats, written as the result line) and ends the run with status 2.
[[nodiscard]] HeadlessStart start_headless(const Options& args);

/// Standard output for a text one-shot: written as before, but the first failed write (a full
/// disk, a closed pipe) is kept and announced, so the run can end instead of talking to nobody.
class WatchedStdout final : public velmora::term::OutputSink {
 public:
  explicit WatchedStdout(std::function<void()> on_failure) : on_failure_(std::move(on_failure)) {}
  void write(std::string_view bytes) override;
  /// The error number of the first failed write.
  [[nodiscard]] std::optional<int> error() const noexcept { return out_.error(); }

 private:
  velmora::term::FdSink out_{1};
  std::function<void()> on_failure_;
};

/// The run's final status: the report's verdict and result line for the JSON formats; for a
/// text one-shot (`stdout` given), status 1 when standard output could not be written. A failed
/// output is named in one line on standard error.
[[nodiscard]] int end_run(HeadlessReport* report, const WatchedStdout* stdout_watch, int status);

}  // namespace velmora
