// The live status line shown while a turn runs: spinner, what the agent is doing, elapsed time.
#pragma once

#include <string>
#include <string_view>

#include "text_layout.hpp"

namespace velmora::renderer {

inline constexpr std::string_view THINKING_LABEL = "Thinking…";

/// "7s", "1m 05s", "2h 03m".
[[nodiscard]] std::string format_elapsed(double seconds);

/// The status line at `elapsed` seconds into the turn; the spinner frame follows the clock, so
/// it turns at a steady rate however irregular the redraws are.
[[nodiscard]] Line status_line(std::string_view label, double elapsed, int width);

}  // namespace velmora::renderer
