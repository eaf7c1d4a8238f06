// The shell's input history kept between runs, in $XDG_STATE_HOME/velmora/history.
//
// One entry a line, oldest first; a backslash, line feed or carriage return inside an entry is
// written as "\\", "\n" or "\r" so that a multi-line paste stays one entry. Several shells may
// append at once: each entry goes out under a lock on "history.lock" in one write, and the file
// is cut back to the newest entries by an atomic rewrite under the same lock.
//
//   ShellHistoryFile history(ShellHistoryFile::default_path());
//   for (auto& line : history.load()) editor.history().append(line);
//   history.append("what changed since yesterday?");
#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velmora {

/// Entries kept in the file (and loaded into the prompt) at most.
constexpr std::size_t SHELL_HISTORY_LIMIT = 1000;

/// One history entry in its file form (no line feed) and back.
[[nodiscard]] std::string encode_history_entry(std::string_view entry);
[[nodiscard]] std::string decode_history_entry(std::string_view line);

class ShellHistoryFile {
 public:
  /// $XDG_STATE_HOME/velmora/history, or nothing when VELMORA_HISTORY is "0" (or another false
  /// word), which turns the saved history off.
  [[nodiscard]] static std::optional<std::filesystem::path> default_path();

  explicit ShellHistoryFile(std::filesystem::path path, std::size_t limit = SHELL_HISTORY_LIMIT);

  /// The newest `limit` entries, oldest first; none when the file does not exist. Throws
  /// std::system_error when it exists but cannot be read.
  [[nodiscard]] std::vector<std::string> load() const;

  /// Adds one entry at the end (mode 0600, folder 0700), then cuts the file back to the newest
  /// `limit` entries once it holds twice as many. Throws std::system_error when it cannot be
  /// written.
  void append(std::string_view entry);

  [[nodiscard]] const std::filesystem::path& path() const noexcept { return path_; }

 private:
  std::filesystem::path path_;
  std::size_t limit_;
};

}  // namespace velmora
