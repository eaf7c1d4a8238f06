// Arbitrary `.env` text through parse_dotenv.
//
// Invariants: keys are names ([A-Za-z_][A-Za-z0-9_.-]*), values hold no NUL (the environment
// cannot), skipped line numbers rise and lie inside the text; and the entries, written back as
// double-quoted and single-quoted lines, parse to the same entries with nothing skipped.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "fuzz_check.hpp"
#include "velmora/dotenv.hpp"

namespace {

std::optional<std::string> lookup(const std::string& name) {
  if (name == "HOME") return "/home/fuzz";
  if (name == "EMPTY") return "";
  return std::nullopt;
}

bool is_name(std::string_view key) {
  if (key.empty()) return false;
  const auto start = [](char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_';
  };
  if (!start(key.front())) return false;
  for (const char c : key) {
    if (!start(c) && !(c >= '0' && c <= '9') && c != '.' && c != '-') return false;
  }
  return true;
}

std::string double_quoted(std::string_view value) {
  std::string out = "\"";
  for (const char c : value) {
    if (c == '"' || c == '\\' || c == '$') out += '\\';
    out += c;
  }
  return out + "\"";
}

void check_round_trip(const velmora::DotenvParseResult& parsed, bool single) {
  std::string text;
  for (const auto& entry : parsed.entries) {
    if (single && entry.value.find('\'') != std::string::npos) continue;
    text +=
        entry.key + "=" + (single ? "'" + entry.value + "'" : double_quoted(entry.value)) + "\n";
  }
  const auto again = velmora::parse_dotenv(text, nullptr);
  FUZZ_CHECK(again.skipped_lines.empty(), "written entries parse without skipping");
  std::size_t k = 0;
  for (const auto& entry : parsed.entries) {
    if (single && entry.value.find('\'') != std::string::npos) continue;
    FUZZ_CHECK(k < again.entries.size(), "every written entry comes back");
    FUZZ_CHECK(again.entries[k].key == entry.key, "key round-trips");
    FUZZ_CHECK(again.entries[k].value == entry.value, "value round-trips");
    ++k;
  }
  FUZZ_CHECK(k == again.entries.size(), "no extra entries");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto parsed = velmora::parse_dotenv(text, lookup);

  for (const auto& entry : parsed.entries) {
    FUZZ_CHECK(is_name(entry.key), "keys are names");
    FUZZ_CHECK(entry.value.find('\0') == std::string::npos, "values hold no NUL");
  }
  int lines = 1;
  for (const char c : text) lines += c == '\n' ? 1 : 0;
  int previous = 0;
  for (const int line : parsed.skipped_lines) {
    FUZZ_CHECK(line > previous && line <= lines, "skipped lines rise and lie inside the text");
    previous = line;
  }
  check_round_trip(parsed, false);
  check_round_trip(parsed, true);
  return 0;
}
