// Keeps what every child process of the test suite printed, so that the last CTest entry can
// check the suite's whole output for the test tokens (test_tokens.hpp, tests/tools/).
//
// Each child gets one file per output stream under output_log_dir(), named
// <test process id>-<child number>-<out|err>.log, whose first line names the running test and
// the program. The folder is emptied by the first CTest entry of a run.
#pragma once

#include <array>
#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>

namespace velmora::testing {

/// VELMORA_OUTPUT_LOG_DIR when set, else <build>/tests/output-log.
[[nodiscard]] std::filesystem::path output_log_dir();

/// Appends one child's output to its log files as it arrives. A log file that cannot be opened
/// or written fails the running test (the scan would not see that output).
class OutputCapture {
 public:
  explicit OutputCapture(const std::string& program);
  ~OutputCapture();
  OutputCapture(const OutputCapture&) = delete;
  OutputCapture& operator=(const OutputCapture&) = delete;

  /// `stream` is 1 (standard output) or 2 (standard error).
  void append(int stream, std::string_view bytes);

 private:
  std::string header_;
  std::string stem_;
  /// Open log descriptors, -1 until the stream first prints (or when its log failed).
  std::array<int, 2> fds_{-1, -1};
  std::array<std::size_t, 2> written_{0, 0};
  std::array<bool, 2> failed_{false, false};
};

/// Bytes kept per stream; a test that floods its output still gets its beginning checked.
inline constexpr std::size_t OUTPUT_LOG_LIMIT = std::size_t{64} << 20;

}  // namespace velmora::testing
