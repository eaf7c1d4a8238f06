// An exclusive advisory lock (flock) that several processes use to take turns.
//
// The lock lives on a separate lock file: a state file replaced by rename gets a new inode, so
// a lock on the state file itself would not exclude the next writer.
//
//   velmora::platform::FileLock lock(dir / "credentials.json.lock");
//   ... read, update and rewrite the state file ...
#pragma once

#include <filesystem>

namespace velmora::platform {

class FileLock {
 public:
  /// Opens (creating with mode 0600, parents 0700) `path` and waits up to `timeout_seconds`
  /// for the lock. Throws velmora::base::TimeoutError when another holder keeps it that long and
  /// velmora::base::OSError when the file cannot be opened.
  explicit FileLock(const std::filesystem::path& path, double timeout_seconds = 60);
  ~FileLock();
  FileLock(FileLock&& other) noexcept;
  FileLock& operator=(FileLock&& other) noexcept;
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;

 private:
  /// Open descriptor holding the lock; -1 once moved from.
  int fd_ = -1;
};

}  // namespace velmora::platform
