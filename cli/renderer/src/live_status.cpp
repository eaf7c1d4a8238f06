#include "live_status.hpp"

#include <array>
#include <cmath>

#include <fmt/format.h>

namespace velmora::renderer {
namespace {

constexpr std::array<std::string_view, 10> SPINNER{"⠋", "⠙", "⠹", "⠸", "⠼",
                                                    "⠴", "⠦", "⠧", "⠇", "⠏"};
constexpr double SPINNER_FRAME_SECONDS = 0.1;

}  // namespace

std::string format_elapsed(double seconds) {
  if (!(seconds > 0)) seconds = 0;
  const auto total = static_cast<long long>(std::floor(std::min(seconds, 1e9)));
  if (total < 60) return fmt::format("{}s", total);
  if (total < 3600) return fmt::format("{}m {:02}s", total / 60, total % 60);
  return fmt::format("{}h {:02}m", total / 3600, (total % 3600) / 60);
}

Line status_line(std::string_view label, double elapsed, int width) {
  static const term::Style spinner = term::Style::parse("cyan").value_or(term::Style{});
  static const term::Style dim = term::Style::parse("dim").value_or(term::Style{});
  const double clamped = elapsed > 0 ? std::min(elapsed, 1e9) : 0.0;
  const auto frame =
      static_cast<std::size_t>(std::floor(clamped / SPINNER_FRAME_SECONDS)) % SPINNER.size();
  Line line;
  append_run(line, spinner, SPINNER[frame]);
  append_run(line, term::Style{}, " ");
  append_run(line, term::Style{}, label.empty() ? THINKING_LABEL : label);
  append_run(line, dim, " (" + format_elapsed(elapsed) + ")");
  return truncate_line(line, width);
}

}  // namespace velmora::renderer
