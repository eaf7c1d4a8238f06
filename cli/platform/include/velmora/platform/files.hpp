// File helpers for small state files that must never be seen half written.
//
//   velmora::platform::write_file_atomic(path, json_text, 0600);
//   auto text = velmora::platform::read_file_if_exists(path);   // nothing when missing
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace velmora::platform {

/// Replaces `path` with `content` so that readers see the old or the new file, never a mix:
/// a temporary file in the same folder gets the mode (set_mode) and the bytes, is flushed to disk
/// and renamed over `path`. Missing parent folders are created with mode 0700. Throws
/// velmora::base::OSError with the system's text; the old file is then left as it was.
/// With `mode_required` false a mode that cannot be set is no failure (content without secrets).
void write_file_atomic(const std::filesystem::path& path, std::string_view content,
                       mode_t mode = 0600, bool mode_required = true);

/// Gives `path` exactly the permission bits `mode` (unless it has them already) and checks that
/// it has them: a file system may refuse modes or ignore them. Throws velmora::base::OSError naming the
/// path and the cause.
void set_mode(const std::filesystem::path& path, mode_t mode);

/// Creates `dir` (and missing parents) with mode 0700, or brings an existing one to 0700.
/// Throws velmora::base::OSError when it cannot be made private.
void make_private_folder(const std::filesystem::path& dir);

/// The system call behind set_mode (::chmod); a test puts one in its place that fails as a file
/// system refusing modes would. Returns the one it replaces.
using ChmodCall = int (*)(const char* path, mode_t mode);
ChmodCall replace_chmod_call(ChmodCall call) noexcept;

/// The whole file, or nothing when it does not exist. Throws velmora::base::OSError on other
/// failures (a folder, no permission).
[[nodiscard]] std::optional<std::string> read_file_if_exists(const std::filesystem::path& path);

}  // namespace velmora::platform
