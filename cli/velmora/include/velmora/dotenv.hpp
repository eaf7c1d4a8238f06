// `.env` loader: KEY=VALUE lines merged into the environment, never overriding a variable that
// is already set. A malformed line is skipped with a warning on standard error.
//
// Format: `KEY=VALUE`, `export KEY=VALUE`, `#` comments (whole lines, or after a blank in an
// unquoted value), blank lines, 'single quotes' taken literally, "double quotes" with \n \t \r
// \" \\ \$ escapes; quoted values may span lines. `${VAR}` and `${VAR:-default}` expand in
// unquoted and double-quoted values from the environment first, then from earlier lines.
#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velmora {

struct DotenvEntry {
  std::string key;
  std::string value;
};

struct DotenvParseResult {
  /// In file order; a key given twice appears twice (the last one counts).
  std::vector<DotenvEntry> entries;
  /// 1-based numbers of the lines that could not be parsed.
  std::vector<int> skipped_lines;
};

/// Looks a variable up for `${VAR}` expansion; nothing when unset.
using DotenvLookup = std::function<std::optional<std::string>(const std::string&)>;

/// Parses dotenv text; `lookup` (the environment) wins over earlier lines in expansions.
[[nodiscard]] DotenvParseResult parse_dotenv(std::string_view text, const DotenvLookup& lookup);

/// Loads `file` (default: ".env" in the working directory) when it exists. Returns the
/// variables it set (those the environment did not have), each with the value it was given.
std::vector<DotenvEntry> load_dotenv(const std::filesystem::path& file = ".env");

}  // namespace velmora
