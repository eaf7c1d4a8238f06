#include "velmora/platform/files.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "velmora/base/errors.hpp"

namespace velmora::platform {
namespace {

std::atomic<ChmodCall> chmod_call{&::chmod};

[[noreturn]] void throw_errno(int err, const std::filesystem::path& path) {
  throw velmora::base::OSError(std::string(std::strerror(err)) + ": '" + path.string() + "'", err);
}

std::string octal(mode_t mode) {
  char text[8];
  std::snprintf(text, sizeof text, "%03o", static_cast<unsigned>(mode));
  return text;
}

// mkdir -p with a private mode for the folders we create; existing ones are left alone.
void make_parents(const std::filesystem::path& dir) {
  if (dir.empty()) return;
  struct stat st {};
  if (::stat(dir.c_str(), &st) == 0) {
    if (!S_ISDIR(st.st_mode)) throw_errno(ENOTDIR, dir);
    return;
  }
  make_parents(dir.parent_path() == dir ? std::filesystem::path() : dir.parent_path());
  if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) throw_errno(errno, dir);
}

void write_all(int fd, std::string_view content, const std::filesystem::path& path) {
  while (!content.empty()) {
    const ssize_t n = ::write(fd, content.data(), content.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      throw_errno(errno, path);
    }
    content.remove_prefix(static_cast<std::size_t>(n));
  }
}

}  // namespace

ChmodCall replace_chmod_call(ChmodCall call) noexcept { return chmod_call.exchange(call); }

void set_mode(const std::filesystem::path& path, mode_t mode) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) throw_errno(errno, path);
  if ((st.st_mode & 07777) == mode) return;
  if (chmod_call.load()(path.c_str(), mode) != 0) {
    const int err = errno;
    throw velmora::base::OSError("mode 0" + octal(mode) + " could not be set on '" + path.string() +
                               "': " + std::strerror(err),
                           err);
  }
  if (::stat(path.c_str(), &st) != 0) throw_errno(errno, path);
  if ((st.st_mode & 07777) != mode) {
    throw velmora::base::OSError("'" + path.string() + "' keeps mode 0" + octal(st.st_mode & 07777) +
                               " instead of 0" + octal(mode) + " on its file system",
                           EPERM);
  }
}

void make_private_folder(const std::filesystem::path& dir) {
  if (dir.empty()) return;
  make_parents(dir);
  set_mode(dir, 0700);
}

void write_file_atomic(const std::filesystem::path& path, std::string_view content, mode_t mode,
                       bool mode_required) {
  const auto dir = path.parent_path();
  make_parents(dir);
  std::string temp = (dir.empty() ? std::filesystem::path(".") : dir).string() + "/." +
                     path.filename().string() + ".tmpXXXXXX";
  const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) throw_errno(errno, path);
  try {
    try {
      set_mode(temp, mode);
    } catch (const velmora::base::OSError&) {
      if (mode_required) throw;
      // The caller's content is no secret: the file keeps the mode it was created with.
    }
    write_all(fd, content, temp);
    if (::fsync(fd) != 0) throw_errno(errno, temp);
    if (::close(fd) != 0) {
      const int err = errno;
      ::unlink(temp.c_str());
      throw_errno(err, temp);
    }
  } catch (...) {
    ::close(fd);
    ::unlink(temp.c_str());
    throw;
  }
  if (::rename(temp.c_str(), path.c_str()) != 0) {
    const int err = errno;
    ::unlink(temp.c_str());
    throw_errno(err, path);
  }
  // The rename itself must survive a crash too; a failing folder sync loses nothing we could
  // still save, so it is not reported.
  if (const int dfd = ::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
      dfd >= 0) {
    ::fsync(dfd);
    ::close(dfd);
  }
}

std::optional<std::string> read_file_if_exists(const std::filesystem::path& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT) return std::nullopt;
    throw_errno(errno, path);
  }
  std::string content;
  struct stat st {};
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
    content.reserve(static_cast<std::size_t>(st.st_size));
  }
  char buf[65536];
  while (true) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n > 0) {
      content.append(buf, static_cast<std::size_t>(n));
      continue;
    }
    if (n == 0) break;
    if (errno == EINTR) continue;
    const int err = errno;
    ::close(fd);
    throw_errno(err, path);
  }
  ::close(fd);
  return content;
}

}  // namespace velmora::platform
