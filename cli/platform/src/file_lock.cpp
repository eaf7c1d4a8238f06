#include "velmora/platform/file_lock.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "velmora/base/errors.hpp"

namespace velmora::platform {

FileLock::FileLock(const std::filesystem::path& path, double timeout_seconds) {
  std::error_code ec;
  if (!path.parent_path().empty() && !std::filesystem::exists(path.parent_path(), ec)) {
    std::filesystem::create_directories(path.parent_path(), ec);
    std::filesystem::permissions(path.parent_path(), std::filesystem::perms::owner_all, ec);
  }
  fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd_ < 0) {
    const int err = errno;
    throw velmora::base::OSError(std::string(std::strerror(err)) + ": '" + path.string() + "'",
                                 err);
  }
  // flock cannot wait with a limit, so poll: a stuck holder must not hang us forever.
  const auto deadline = std::chrono::steady_clock::now() +
                        std::chrono::duration<double>(timeout_seconds < 0 ? 0 : timeout_seconds);
  while (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
    const int err = errno;
    if (err == EINTR) continue;
    if (err != EWOULDBLOCK || std::chrono::steady_clock::now() >= deadline) {
      ::close(fd_);
      fd_ = -1;
      if (err == EWOULDBLOCK) {
        throw velmora::base::TimeoutError("Timed out waiting for the lock on '" + path.string() +
                                          "'");
      }
      throw velmora::base::OSError(std::string(std::strerror(err)) + ": '" + path.string() + "'",
                                   err);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

FileLock::~FileLock() {
  if (fd_ >= 0) ::close(fd_);  // closing the last descriptor releases the lock
}

FileLock::FileLock(FileLock&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }

FileLock& FileLock::operator=(FileLock&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = other.fd_;
    other.fd_ = -1;
  }
  return *this;
}

}  // namespace velmora::platform
