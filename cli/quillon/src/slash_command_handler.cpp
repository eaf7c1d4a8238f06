#include "quillon/slash_command_handler.hpp"

#include "quillon/strip.hpp"

namespace quillon {

std::pair<std::string, std::string> split_shell_command(std::string_view raw) {
  const auto blank = raw.find(' ');
  if (blank == std::string_view::npos) return {strip(raw), {}};
  return {strip(raw.substr(0, blank)), strip(raw.substr(blank + 1))};
}

}  // namespace quillon
