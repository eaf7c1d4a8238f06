// Helpers shared by every test suite: child processes, temporary folders, environment guards.
//
//   velmora::testing::TempDir home;
//   auto result = velmora::testing::run_process(VELMORA_BIN, {.args = {"--version"}});
//   EXPECT_EQ(result.exit_code, 0) << result.err;
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace velmora::testing {

class OutputCapture;

struct ProcessOptions {
  std::vector<std::string> args;
  /// Variables to set (a value) or remove (nothing) on top of the inherited environment.
  std::map<std::string, std::optional<std::string>> env;
  /// Start from an empty environment (PATH is kept) instead of the inherited one.
  bool clean_env = false;
  /// Written to the child's standard input, which is then closed.
  std::string stdin_data;
  std::filesystem::path cwd;
  /// The child is killed after this long (only to keep a broken test from hanging).
  double timeout_seconds = 120;
};

struct ProcessResult {
  int exit_code = -1;  ///< -1 when the child ended by a signal
  int term_signal = 0;
  bool timed_out = false;
  std::string out;
  std::string err;
};

/// Runs a program to its end and captures both output streams (also kept in the output log,
/// output_log.hpp).
ProcessResult run_process(const std::string& program, const ProcessOptions& options = {});

/// A long-running child with pipes (for servers such as the agent simulator); its output is
/// also kept in the output log.
class ChildProcess {
 public:
  ChildProcess(const std::string& program, const ProcessOptions& options);
  ~ChildProcess();  ///< kills the child if it still runs
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  [[nodiscard]] pid_t pid() const noexcept { return pid_; }
  /// Next line of standard output without its newline; nothing on end of output or time-out.
  std::optional<std::string> read_line(double timeout_seconds = 30);
  void write_stdin(const std::string& data);
  void close_stdin();
  void send_signal(int signal);
  /// Waits for the child to end; reads the rest of its output.
  ProcessResult wait(double timeout_seconds = 60);
  /// Output read so far (standard output after the lines already returned, and error).
  [[nodiscard]] const std::string& stderr_text() const noexcept { return err_; }

 private:
  void pump(double timeout_seconds, bool until_line);
  pid_t pid_ = -1;
  int in_fd_ = -1;
  int out_fd_ = -1;
  int err_fd_ = -1;
  std::string out_;
  std::string err_;
  std::optional<ProcessResult> result_;
  std::unique_ptr<OutputCapture> capture_;
};

/// A fresh folder removed with everything in it on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  [[nodiscard]] const std::filesystem::path& path() const noexcept { return path_; }

 private:
  std::filesystem::path path_;
};

/// Sets or removes environment variables and restores them on destruction.
class ScopedEnv {
 public:
  ScopedEnv() = default;
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;
  void set(const std::string& name, const std::string& value);
  void unset(const std::string& name);

 private:
  void remember(const std::string& name);
  std::map<std::string, std::optional<std::string>> saved_;
};

std::string read_file(const std::filesystem::path& path);
void write_file(const std::filesystem::path& path, const std::string& content);

}  // namespace velmora::testing
