// Unified diffs coloured by line: additions, removals, hunk headers and file headers.
#pragma once

#include <string_view>
#include <vector>

#include "text_layout.hpp"

namespace velmora::renderer {

/// Fence names that mean a unified diff ("diff", "patch", "udiff").
[[nodiscard]] bool is_diff_language(std::string_view language);

/// Whether the lines read as a unified diff: a hunk header ("@@ -1,2 +1,3 @@"), and from the
/// first one on only hunk lines, file headers and blank lines.
[[nodiscard]] bool looks_like_unified_diff(std::string_view code);

/// One line per line of `code`, its text unchanged: additions green, removals red, hunk
/// headers cyan, file headers bold. Inside a hunk the header's line counts decide what is a
/// removed line and what is the next file's "--- " header.
[[nodiscard]] std::vector<Line> highlight_diff(std::string_view code);

}  // namespace velmora::renderer
