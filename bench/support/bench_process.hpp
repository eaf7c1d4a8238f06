// Runs `velmora` and the agent simulator for the end-to-end benchmarks: a scratch home, the
// client's output on a pipe or a pseudo-terminal drained as fast as it comes, and the child's
// own resource usage from wait4.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <vector>

namespace velmora::bench {

enum class Output {
  discard,  ///< /dev/null
  pipe,     ///< a pipe the benchmark drains
  terminal  ///< a pseudo-terminal (120×40, TERM=xterm-256color) the benchmark drains
};

struct RunResult {
  double wall_ms = 0;
  double cpu_ms = 0;
  /// The child's peak resident memory (ru_maxrss).
  long peak_rss_kib = 0;
  /// Exit status, or -1 when a signal ended it.
  int exit_code = -1;
  std::size_t output_bytes = 0;
  /// The last bytes written, for checking that the run did its work.
  std::string output_tail;
};

/// A scratch home (no settings, saved login or colour preferences from ours) that children run
/// in; removed on destruction.
class Sandbox {
 public:
  Sandbox();
  ~Sandbox();
  Sandbox(const Sandbox&) = delete;
  Sandbox& operator=(const Sandbox&) = delete;

  [[nodiscard]] const std::filesystem::path& dir() const noexcept { return dir_; }
  /// Starts `argv` in the sandbox with standard output on `out_fd` and standard error on
  /// `err_fd` (-1: ours), standard input from `in_fd` (-1: /dev/null).
  [[nodiscard]] pid_t spawn(const std::vector<std::string>& argv, int out_fd, int err_fd,
                            bool terminal, int in_fd = -1) const;

  /// Runs `argv` to its end (stdin from /dev/null, stderr kept) and reports what it cost.
  /// Throws std::runtime_error when it cannot be started or does not end within `limit_seconds`.
  [[nodiscard]] RunResult run(const std::vector<std::string>& argv, Output output,
                              double limit_seconds = 300) const;

 private:
  std::filesystem::path dir_;
  std::vector<std::string> env_;
};

/// The agent simulator on a free loopback port, stopped with SIGTERM on destruction.
class Simulator {
 public:
  /// Starts the build tree's simulator with `args` in `sandbox`, its standard error in sim.log
  /// there; throws std::runtime_error when it reports no port.
  explicit Simulator(const Sandbox& sandbox, std::vector<std::string> args = {});
  ~Simulator();
  Simulator(const Simulator&) = delete;
  Simulator& operator=(const Simulator&) = delete;

  [[nodiscard]] std::string ws_url() const;
  [[nodiscard]] std::string http_url() const;

 private:
  pid_t pid_ = -1;
  int port_ = 0;
  int out_fd_ = -1;
};

/// `relative` to the folder of the running benchmark (the build tree's layout).
[[nodiscard]] std::filesystem::path beside_self(const std::filesystem::path& relative);

/// The program every end-to-end benchmark measures: VELMORA_BENCH_PROGRAM when set (scripts/bench
/// names the installed one, what users run), else the build tree's `velmora`.
[[nodiscard]] std::string velmora_program();

/// `velmora` connecting to `sim` as the benchmark's user; the caller adds the run's options.
[[nodiscard]] std::vector<std::string> client_command(const Simulator& sim);

/// The value at quantile `q` (0.5 is the median); 0 for no values.
[[nodiscard]] double quantile(std::vector<double> values, double q);

}  // namespace velmora::bench
