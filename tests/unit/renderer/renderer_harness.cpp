#include "renderer_harness.hpp"

#include <map>

namespace velmora::renderer::testing {
namespace {

std::string sgr_words(std::string_view codes) {
  static const std::map<std::string, std::string> NAMES{
      {"1", "bold"},          {"2", "dim"},
      {"3", "italic"},        {"4", "underline"},
      {"7", "reverse"},       {"9", "strike"},
      {"30", "black"},        {"31", "red"},
      {"32", "green"},        {"33", "yellow"},
      {"34", "blue"},         {"35", "magenta"},
      {"36", "cyan"},         {"37", "white"},
      {"90", "bright_black"}, {"91", "bright_red"},
      {"92", "bright_green"}, {"93", "bright_yellow"},
      {"94", "bright_blue"},  {"95", "bright_magenta"},
      {"96", "bright_cyan"},  {"97", "bright_white"}};
  std::string out;
  std::size_t begin = 0;
  while (begin <= codes.size()) {
    auto end = codes.find(';', begin);
    if (end == std::string_view::npos) end = codes.size();
    const std::string code(codes.substr(begin, end - begin));
    const auto it = NAMES.find(code);
    if (!out.empty()) out += ' ';
    out += it == NAMES.end() ? "sgr" + code : it->second;
    begin = end + 1;
  }
  return out;
}

}  // namespace

std::string Harness::take() {
  std::string out = tagged(sink->text());
  sink->clear();
  return out;
}

std::string tagged(std::string_view bytes) {
  std::string out;
  for (std::size_t i = 0; i < bytes.size();) {
    if (bytes[i] != '\x1b') {
      out += bytes[i++];
      continue;
    }
    if (bytes.substr(i).starts_with("\x1b[")) {
      const auto end = bytes.find('m', i + 2);
      if (end != std::string_view::npos) {
        const auto codes = bytes.substr(i + 2, end - i - 2);
        out += codes == "0" ? "{/}" : "{" + sgr_words(codes) + "}";
        i = end + 1;
        continue;
      }
    }
    if (bytes.substr(i).starts_with("\x1b]8;;")) {
      const auto end = bytes.find("\x1b\\", i + 5);
      if (end != std::string_view::npos) {
        const auto url = bytes.substr(i + 5, end - i - 5);
        out += url.empty() ? "{/link}" : "{link=" + std::string(url) + "}";
        i = end + 2;
        continue;
      }
    }
    out += "{ESC}";
    ++i;
  }
  return out;
}

}  // namespace velmora::renderer::testing
