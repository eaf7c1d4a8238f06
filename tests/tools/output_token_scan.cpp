// velmora_output_scan <folder>: checks every captured output of the test suite (output_log.hpp)
// for the test tokens and for tokens the simulator issued, also where escape sequences or a line
// wrap split them. Ends with 1 and names the test and the masked token for every hit, and with
// 1 when the folder is missing or empty (nothing was checked); 0 when nothing leaked.
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "test_tokens.hpp"

namespace {

namespace fs = std::filesystem;
using velmora::testing::ISSUED_TOKEN_HEX_DIGITS;
using velmora::testing::ISSUED_TOKEN_PREFIXES;
using velmora::testing::TEST_TOKENS;

std::string shown(std::string_view token) { return std::string(token.substr(0, 8)) + "…"; }

bool is_hex(char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; }

// Simulator tokens: a prefix not preceded by a letter or digit, then the issued number of
// hexadecimal digits. More digits after them do not hide the token: its first part is whole.
// `line_starts`: where a joined line began in `text`, which counts as a word start too.
std::vector<std::string> issued_tokens_in(std::string_view text,
                                          const std::set<std::size_t>& line_starts = {}) {
  std::vector<std::string> found;
  for (const auto prefix : ISSUED_TOKEN_PREFIXES) {
    for (auto at = text.find(prefix); at != std::string_view::npos;
         at = text.find(prefix, at + 1)) {
      if (at > 0 && (std::isalnum(static_cast<unsigned char>(text[at - 1])) != 0) &&
          !line_starts.contains(at)) {
        continue;
      }
      std::size_t n = 0;
      const auto digits = at + prefix.size();
      while (digits + n < text.size() && is_hex(text[digits + n])) ++n;
      if (n >= ISSUED_TOKEN_HEX_DIGITS) {
        found.emplace_back(text.substr(at, prefix.size() + ISSUED_TOKEN_HEX_DIGITS));
      }
    }
  }
  return found;
}

// The text as the eye reads it: escape sequences removed (CSI, OSC and two-byte ones), and line
// breaks joined together with the indentation that follows them, so that a token the output
// split across styles or lines is whole again.
struct Flattened {
  std::string text;
  /// Where each joined line begins in `text`.
  std::set<std::size_t> line_starts;
};

Flattened flattened(std::string_view text) {
  Flattened flat;
  std::string& out = flat.text;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\x1b' && i + 1 < text.size()) {
      const char kind = text[i + 1];
      if (kind == '[') {
        i += 2;
        while (i < text.size() && !(text[i] >= 0x40 && text[i] <= 0x7e)) ++i;
      } else if (kind == ']') {
        i += 2;
        while (i < text.size() && text[i] != '\a' &&
               !(text[i] == '\x1b' && i + 1 < text.size() && text[i + 1] == '\\')) {
          ++i;
        }
        if (i < text.size() && text[i] == '\x1b') ++i;
      } else {
        ++i;
      }
      continue;
    }
    if (c == '\r') continue;
    if (c == '\n') {
      while (i + 1 < text.size() && (text[i + 1] == ' ' || text[i + 1] == '\t')) ++i;
      flat.line_starts.insert(out.size());
      continue;
    }
    out += c;
  }
  return flat;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: velmora_output_scan <folder>\n";
    return 2;
  }
  const fs::path dir = argv[1];
  std::error_code ec;
  // An absent or empty folder means the output was kept elsewhere or not at all: nothing was
  // checked, which must not pass for "nothing leaked".
  if (!fs::is_directory(dir, ec)) {
    std::cout << "FAILED: no captured output: " << dir.string()
              << " does not exist, so no output was checked\n";
    return 1;
  }
  std::size_t files = 0;
  std::size_t bytes = 0;
  std::size_t leaks = 0;
  for (const auto& entry : fs::directory_iterator(dir, ec)) {
    if (!entry.is_regular_file(ec)) continue;
    std::ifstream in(entry.path(), std::ios::binary);
    std::ostringstream buffer;
    buffer << in.rdbuf();
    const std::string text = buffer.str();
    ++files;
    bytes += text.size();
    const std::string header = text.substr(0, text.find('\n'));
    auto report = [&](std::string_view token) {
      ++leaks;
      std::cout << "LEAK " << shown(token) << " in " << entry.path().filename().string() << " ("
                << header << ")\n";
    };
    std::set<std::string> seen;
    const Flattened flat = flattened(text);
    for (const auto& [form, line_starts] :
         {std::pair<std::string_view, std::set<std::size_t>>{text, {}},
          std::pair<std::string_view, std::set<std::size_t>>{flat.text, flat.line_starts}}) {
      for (const auto token : TEST_TOKENS) {
        if (form.find(token) != std::string_view::npos) seen.emplace(token);
      }
      for (auto& token : issued_tokens_in(form, line_starts)) seen.insert(std::move(token));
    }
    for (const auto& token : seen) report(token);
  }
  if (files == 0) {
    std::cout << "FAILED: no captured output: " << dir.string()
              << " is empty, so no output was checked\n";
    return 1;
  }
  std::cout << "scanned " << files << " captured outputs, " << bytes << " bytes: " << leaks
            << " whole tokens\n";
  return leaks == 0 ? 0 : 1;
}
