// The renderer's fixed panels as lines: banner, help table, invocation error, notices and the
// thinking history. Pure: tests and the renderer call them alike.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "text_layout.hpp"
#include "thinking_cache.hpp"
#include "velmora/renderer/stream_renderer.hpp"

namespace velmora::renderer {

inline constexpr std::string_view PRODUCT_NAME = "Velmora CLI";
inline constexpr std::string_view AWAITING_METADATA = "(awaiting metadata)";

struct BannerContext {
  std::string version;
  std::string workspace_cwd;
  std::string workspace_branch;
  /// Shown as "~" at the start of the working folder.
  std::string home;
};

/// The banner; `framed` draws the box (terminal), otherwise plain lines (IM).
[[nodiscard]] std::vector<Line> banner_lines(const BannerInfo& info, const BannerContext& context,
                                             int width, bool framed);

[[nodiscard]] std::vector<Line> help_lines(
    const std::vector<std::pair<std::string, std::string>>& entries, int width);

/// Summary, hint and detail; without `debug` only the detail's first line, cut.
[[nodiscard]] std::vector<Line> invocation_error_lines(std::string_view summary,
                                                       std::string_view hint,
                                                       const std::optional<std::string>& detail,
                                                       bool debug, int width);

[[nodiscard]] std::vector<Line> notice_lines(std::string_view text, bool warning, int width);

/// "HH:MM:SS" in local time.
[[nodiscard]] std::string clock_time(std::chrono::system_clock::time_point at);

[[nodiscard]] std::vector<Line> thinking_list_lines(const ThinkingCache& cache, int width);
[[nodiscard]] std::vector<Line> thinking_missing_lines(std::string_view key, int width);

}  // namespace velmora::renderer
