// Child processes without a shell: run to the end with captured output, or start detached.
//
//   auto result = velmora::platform::run_capture({"git", "rev-parse", "--abbrev-ref", "HEAD"},
//                                                {.cwd = dir, .timeout_seconds = 2});
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace velmora::platform {

struct CaptureOptions {
  std::filesystem::path cwd;  ///< empty: the current folder
  /// Killed after this long; absent: no limit.
  std::optional<double> timeout_seconds;
  /// Text written to the child's standard input (then closed); otherwise /dev/null.
  std::optional<std::string> stdin_data;
};

struct CaptureResult {
  int exit_code = -1;  ///< -1 when ended by a signal or killed at the time limit
  bool timed_out = false;
  std::string out;
  std::string err;
};

/// Runs argv[0] (looked up on PATH when it has no "/") and waits for it. Throws
/// velmora::base::FileNotFoundError when the program cannot be found or started,
/// velmora::base::OSError for other start failures. The child's output is never shown.
CaptureResult run_capture(const std::vector<std::string>& argv, const CaptureOptions& options = {});

/// Starts a program and does not wait for it (its output goes to /dev/null). Returns false
/// when it could not be started.
bool spawn_detached(const std::vector<std::string>& argv);

/// Full path of a program found on PATH, or nothing.
std::optional<std::filesystem::path> find_on_path(const std::string& name);

/// Path of the running executable (/proc/self/exe), or nothing.
std::optional<std::filesystem::path> current_executable();

}  // namespace velmora::platform
