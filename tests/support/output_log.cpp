#include "output_log.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <gtest/gtest.h>

namespace velmora::testing {
namespace {

std::atomic<unsigned> next_child{0};

// 0, or the errno of the write that failed.
int write_all(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return 0;
}

std::string current_test_name() {
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  if (info == nullptr) return "(outside a test)";
  return std::string(info->test_suite_name()) + "." + info->name();
}

}  // namespace

std::filesystem::path output_log_dir() {
  if (const char* dir = std::getenv("VELMORA_OUTPUT_LOG_DIR"); dir != nullptr && *dir != '\0') {
    return dir;
  }
  return std::filesystem::path(VELMORA_TEST_BINARY_DIR) / "output-log";
}

OutputCapture::OutputCapture(const std::string& program)
    : header_("# " + current_test_name() + " " +
              std::filesystem::path(program).filename().string() + "\n"),
      stem_(std::to_string(::getpid()) + "-" + std::to_string(next_child++)) {}

OutputCapture::~OutputCapture() {
  for (int fd : fds_) {
    if (fd >= 0) ::close(fd);
  }
}

void OutputCapture::append(int stream, std::string_view bytes) {
  const auto i = static_cast<std::size_t>(stream == 2 ? 1 : 0);
  if (bytes.empty() || failed_[i] || written_[i] >= OUTPUT_LOG_LIMIT) return;
  const auto file = output_log_dir() / (stem_ + (i == 0 ? "-out.log" : "-err.log"));
  // Output the log cannot keep is output the token scan never sees: the test fails.
  const auto fail = [&](int err) {
    failed_[i] = true;
    ADD_FAILURE() << "the output log cannot keep this child's output in " << file.string() << ": "
                  << std::strerror(err) << " (" << header_.substr(2, header_.size() - 3) << ")";
  };
  if (fds_[i] < 0) {
    std::error_code ec;
    std::filesystem::create_directories(file.parent_path(), ec);
    fds_[i] = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fds_[i] < 0) {
      fail(errno);
      return;
    }
    if (const int err = write_all(fds_[i], header_); err != 0) {
      fail(err);
      return;
    }
  }
  const auto room = OUTPUT_LOG_LIMIT - written_[i];
  if (bytes.size() > room) bytes = bytes.substr(0, room);
  if (const int err = write_all(fds_[i], bytes); err != 0) {
    fail(err);
    return;
  }
  written_[i] += bytes.size();
}

}  // namespace velmora::testing
