#include "velmora/shell_history.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>

#include "velmora/base/strings.hpp"
#include "velmora/platform/env.hpp"
#include "velmora/platform/file_lock.hpp"
#include "velmora/platform/files.hpp"
#include "velmora/platform/paths.hpp"

namespace velmora {
namespace {

/// Long enough for another shell to finish its append or rewrite; short enough not to stall a
/// prompt behind a stuck holder.
constexpr double HISTORY_LOCK_SECONDS = 2;

[[noreturn]] void throw_errno(int err, const std::filesystem::path& path) {
  throw std::system_error(err, std::generic_category(), path.string());
}

std::vector<std::string> split_entries(const std::string& content) {
  std::vector<std::string> entries;
  std::size_t at = 0;
  while (at < content.size()) {
    std::size_t end = content.find('\n', at);
    if (end == std::string::npos) end = content.size();
    if (end > at) entries.push_back(decode_history_entry(std::string_view(content).substr(at, end - at)));
    at = end + 1;
  }
  return entries;
}

std::string read_all(const std::filesystem::path& path) {
  try {
    return platform::read_file_if_exists(path).value_or(std::string());
  } catch (const std::exception& e) {
    throw std::system_error(std::make_error_code(std::errc::io_error), e.what());
  }
}

void append_line(const std::filesystem::path& path, const std::string& line) {
  // The folder holds what the user typed: private, like the other state files.
  const auto dir = path.parent_path();
  std::error_code ignored;
  std::filesystem::create_directories(dir.parent_path(), ignored);
  if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) throw_errno(errno, dir);
  const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) throw_errno(errno, path);
  // A file made by hand or by an older run with a wider mode still holds what the user typed.
  struct stat st {};
  if (::fstat(fd, &st) == 0 && (st.st_mode & 077) != 0 && ::fchmod(fd, 0600) != 0) {
    const int err = errno;
    ::close(fd);
    throw_errno(err, path);
  }
  // One write: O_APPEND puts it whole at the end, also beside another shell's.
  std::string_view rest = line;
  while (!rest.empty()) {
    const ssize_t n = ::write(fd, rest.data(), rest.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      const int err = errno;
      ::close(fd);
      throw_errno(err, path);
    }
    rest.remove_prefix(static_cast<std::size_t>(n));
  }
  if (::close(fd) != 0) throw_errno(errno, path);
}

}  // namespace

std::string encode_history_entry(std::string_view entry) {
  std::string out;
  out.reserve(entry.size());
  for (const char c : entry) {
    switch (c) {
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      default: out += c;
    }
  }
  return out;
}

std::string decode_history_entry(std::string_view line) {
  std::string out;
  out.reserve(line.size());
  for (std::size_t i = 0; i < line.size(); ++i) {
    if (line[i] != '\\' || i + 1 == line.size()) {
      out += line[i];
      continue;
    }
    const char next = line[++i];
    if (next == 'n') {
      out += '\n';
    } else if (next == 'r') {
      out += '\r';
    } else if (next == '\\') {
      out += '\\';
    } else {
      // Not written by us: kept as it stands.
      out += '\\';
      out += next;
    }
  }
  return out;
}

std::optional<std::filesystem::path> ShellHistoryFile::default_path() {
  if (const auto setting = platform::get_env("VELMORA_HISTORY")) {
    const std::string value = base::ascii_lower(base::trim(*setting));
    if (value == "0" || value == "false" || value == "no" || value == "off") return std::nullopt;
  }
  return platform::xdg_state_home() / "velmora" / "history";
}

ShellHistoryFile::ShellHistoryFile(std::filesystem::path path, std::size_t limit)
    : path_(std::move(path)), limit_(std::max<std::size_t>(limit, 1)) {}

std::vector<std::string> ShellHistoryFile::load() const {
  auto entries = split_entries(read_all(path_));
  if (entries.size() > limit_) {
    entries.erase(entries.begin(), entries.end() - static_cast<std::ptrdiff_t>(limit_));
  }
  return entries;
}

void ShellHistoryFile::append(std::string_view entry) {
  const std::string line = encode_history_entry(entry) + "\n";
  std::optional<platform::FileLock> lock;
  try {
    lock.emplace(std::filesystem::path(path_.string() + ".lock"), HISTORY_LOCK_SECONDS);
  } catch (const std::exception&) {
    // Without the lock the entry still goes out whole (one O_APPEND write); only the rewrite
    // that cuts the file back must not race another shell's append, so it waits for next time.
    append_line(path_, line);
    return;
  }
  append_line(path_, line);
  const std::string content = read_all(path_);
  const auto lines = static_cast<std::size_t>(std::count(content.begin(), content.end(), '\n'));
  if (lines < 2 * limit_) return;
  std::size_t at = 0;
  for (std::size_t drop = lines - limit_; drop > 0; --drop) at = content.find('\n', at) + 1;
  platform::write_file_atomic(path_, std::string_view(content).substr(at), 0600);
}

}  // namespace velmora
