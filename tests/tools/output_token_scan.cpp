// velmora_output_scan <folder>: checks every captured output of the test suite (output_log.hpp)
// for the test tokens and for tokens the simulator issued. Ends with 1 and names the test and
// the masked token for every hit; 0 when nothing leaked.
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
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

// Whole simulator tokens: a prefix, then exactly the issued number of hexadecimal digits.
std::vector<std::string> issued_tokens_in(std::string_view text) {
  std::vector<std::string> found;
  for (const auto prefix : ISSUED_TOKEN_PREFIXES) {
    for (auto at = text.find(prefix); at != std::string_view::npos;
         at = text.find(prefix, at + 1)) {
      if (at > 0 && (std::isalnum(static_cast<unsigned char>(text[at - 1])) != 0)) continue;
      std::size_t n = 0;
      const auto digits = at + prefix.size();
      while (digits + n < text.size() && is_hex(text[digits + n])) ++n;
      if (n == ISSUED_TOKEN_HEX_DIGITS) {
        found.emplace_back(text.substr(at, prefix.size() + ISSUED_TOKEN_HEX_DIGITS));
      }
    }
  }
  return found;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: velmora_output_scan <folder>\n";
    return 2;
  }
  const fs::path dir = argv[1];
  std::error_code ec;
  if (!fs::is_directory(dir, ec)) {
    std::cout << "no captured output in " << dir.string() << "\n";
    return 0;
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
    for (const auto token : TEST_TOKENS) {
      if (text.find(token) != std::string::npos) report(token);
    }
    for (const auto& token : issued_tokens_in(text)) report(token);
  }
  std::cout << "scanned " << files << " captured outputs, " << bytes << " bytes: " << leaks
            << " whole tokens\n";
  return leaks == 0 ? 0 : 1;
}
