#include "output_log.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>

#include <gtest/gtest.h>

namespace velmora::testing {
namespace {

std::atomic<unsigned> next_child{0};

void write_all(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
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
  if (fds_[i] < 0) {
    std::error_code ec;
    const auto dir = output_log_dir();
    std::filesystem::create_directories(dir, ec);
    const auto file = dir / (stem_ + (i == 0 ? "-out.log" : "-err.log"));
    fds_[i] = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fds_[i] < 0) {
      // A test must not fail because its output could not be kept; the scan then sees less.
      failed_[i] = true;
      return;
    }
    write_all(fds_[i], header_);
  }
  const auto room = OUTPUT_LOG_LIMIT - written_[i];
  if (bytes.size() > room) bytes = bytes.substr(0, room);
  write_all(fds_[i], bytes);
  written_[i] += bytes.size();
}

}  // namespace velmora::testing
