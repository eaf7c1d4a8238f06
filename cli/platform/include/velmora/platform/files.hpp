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
/// a temporary file in the same folder gets the mode and the bytes, is flushed to disk and
/// renamed over `path`. Missing parent folders are created with mode 0700. Throws
/// velmora::base::OSError with the system's text; the old file is then left as it was.
void write_file_atomic(const std::filesystem::path& path, std::string_view content,
                       mode_t mode = 0600);

/// The whole file, or nothing when it does not exist. Throws velmora::base::OSError on other
/// failures (a folder, no permission).
[[nodiscard]] std::optional<std::string> read_file_if_exists(const std::filesystem::path& path);

}  // namespace velmora::platform
