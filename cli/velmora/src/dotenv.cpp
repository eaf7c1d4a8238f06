#include "velmora/dotenv.hpp"

#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <system_error>

#include "velmora/platform/env.hpp"

namespace velmora {

namespace {

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v'; }

bool is_key_start(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_'; }

bool is_key_char(char c) {
  return is_key_start(c) || (c >= '0' && c <= '9') || c == '.' || c == '-';
}

class Parser {
 public:
  Parser(std::string_view text, const DotenvLookup& lookup) : text_(text), lookup_(lookup) {
    if (text_.starts_with("\xEF\xBB\xBF")) pos_ = 3;
  }

  DotenvParseResult run() {
    while (pos_ < text_.size()) {
      const std::size_t start = pos_;
      const int start_line = line_;
      if (!statement()) {
        result_.skipped_lines.push_back(start_line);
        pos_ = start;
        line_ = start_line;
        skip_to_next_line();
      }
    }
    return std::move(result_);
  }

 private:
  [[nodiscard]] bool at_end() const { return pos_ >= text_.size(); }
  [[nodiscard]] char peek() const { return text_[pos_]; }

  void skip_blanks() {
    while (!at_end() && is_blank(peek())) ++pos_;
  }

  void skip_to_next_line() {
    while (!at_end() && peek() != '\n') ++pos_;
    if (!at_end()) {
      ++pos_;
      ++line_;
    }
  }

  // After a value: only blanks and a comment may follow on the line.
  bool end_of_statement() {
    skip_blanks();
    if (!at_end() && peek() == '#') {
      while (!at_end() && peek() != '\n') ++pos_;
    }
    if (at_end()) return true;
    if (peek() != '\n') return false;
    ++pos_;
    ++line_;
    return true;
  }

  // One statement; false when it is malformed (the caller skips its first line).
  bool statement() {
    skip_blanks();
    if (at_end()) return true;
    if (peek() == '\n' || peek() == '#') {
      skip_to_next_line();
      return true;
    }
    if (text_.substr(pos_).starts_with("export") && pos_ + 6 < text_.size() &&
        is_blank(text_[pos_ + 6])) {
      pos_ += 6;
      skip_blanks();
    }
    if (at_end() || !is_key_start(peek())) return false;
    const std::size_t key_start = pos_;
    while (!at_end() && is_key_char(peek())) ++pos_;
    std::string key(text_.substr(key_start, pos_ - key_start));
    skip_blanks();
    if (at_end() || peek() == '\n' || peek() == '#') {
      // A bare name declares nothing to set.
      return end_of_statement();
    }
    if (peek() != '=') return false;
    ++pos_;
    skip_blanks();
    std::optional<std::string> value;
    if (!at_end() && peek() == '\'') {
      value = single_quoted();
    } else if (!at_end() && peek() == '"') {
      value = double_quoted();
    } else {
      value = unquoted();
    }
    if (!value || !end_of_statement()) return false;
    // The environment cannot hold a NUL byte; a truncated value would be silently wrong.
    if (value->find('\0') != std::string::npos) return false;
    known_[key] = *value;
    result_.entries.push_back({std::move(key), std::move(*value)});
    return true;
  }

  std::optional<std::string> single_quoted() {
    ++pos_;
    const auto close = text_.find('\'', pos_);
    if (close == std::string_view::npos) return std::nullopt;
    std::string value(text_.substr(pos_, close - pos_));
    for (char c : value) line_ += c == '\n' ? 1 : 0;
    pos_ = close + 1;
    return value;
  }

  std::optional<std::string> double_quoted() {
    ++pos_;
    std::string value;
    while (!at_end()) {
      const char c = peek();
      if (c == '"') {
        ++pos_;
        return value;
      }
      if (c == '\\' && pos_ + 1 < text_.size()) {
        const char next = text_[pos_ + 1];
        switch (next) {
          case 'n':
            value += '\n';
            break;
          case 't':
            value += '\t';
            break;
          case 'r':
            value += '\r';
            break;
          case '"':
            value += '"';
            break;
          case '\\':
            value += '\\';
            break;
          case '$':
            value += '$';
            break;
          default:
            value += '\\';
            value += next;
            if (next == '\n') ++line_;
            break;
        }
        pos_ += 2;
        continue;
      }
      if (c == '$' && expand_at(value)) continue;
      if (c == '\n') ++line_;
      value += c;
      ++pos_;
    }
    return std::nullopt;
  }

  std::optional<std::string> unquoted() {
    std::string value;
    while (!at_end() && peek() != '\n') {
      const char c = peek();
      if (c == '#' && !value.empty() && is_blank(value.back())) break;
      if (c == '$' && expand_at(value)) continue;
      value += c;
      ++pos_;
    }
    while (!value.empty() && is_blank(value.back())) value.pop_back();
    return value;
  }

  // At "${NAME}" or "${NAME:-default}": appends the expansion and moves past it.
  bool expand_at(std::string& out) {
    const std::string_view rest = text_.substr(pos_);
    if (!rest.starts_with("${")) return false;
    const auto close = rest.find('}');
    if (close == std::string_view::npos) return false;
    const std::string_view inner = rest.substr(2, close - 2);
    if (inner.find('\n') != std::string_view::npos) return false;
    const auto sep = inner.find(":-");
    const std::string name(inner.substr(0, sep));
    if (name.empty() || !is_key_start(name.front())) return false;
    for (char c : name) {
      if (!is_key_char(c)) return false;
    }
    std::optional<std::string> found = lookup_ ? lookup_(name) : std::nullopt;
    if (!found) {
      if (const auto it = known_.find(name); it != known_.end()) found = it->second;
    }
    if (found && !found->empty()) {
      out += *found;
    } else if (sep != std::string_view::npos) {
      out += inner.substr(sep + 2);
    }
    pos_ += close + 1;
    return true;
  }

  std::string_view text_;
  const DotenvLookup& lookup_;
  std::size_t pos_ = 0;
  int line_ = 1;
  std::map<std::string, std::string> known_;
  DotenvParseResult result_;
};

}  // namespace

DotenvParseResult parse_dotenv(std::string_view text, const DotenvLookup& lookup) {
  return Parser(text, lookup).run();
}

std::vector<DotenvEntry> load_dotenv(const std::filesystem::path& file) {
  std::vector<DotenvEntry> applied;
  std::error_code ec;
  if (!std::filesystem::is_regular_file(file, ec)) return applied;
  std::ifstream in(file, std::ios::binary);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (!in && !in.eof()) {
    std::cerr << "Warning: could not read " << file.string() << "; its settings are ignored.\n";
    return applied;
  }
  const auto parsed = parse_dotenv(text, velmora::platform::get_env);
  for (const int line : parsed.skipped_lines) {
    std::cerr << "Warning: " << file.string() << " line " << line
              << " is not KEY=VALUE and was skipped.\n";
  }
  // Later lines win over earlier ones, as when the file is sourced; walking backwards with
  // `overwrite` off gives exactly that while leaving the environment's own values alone.
  for (auto it = parsed.entries.rbegin(); it != parsed.entries.rend(); ++it) {
    if (velmora::platform::get_env(it->key)) continue;
    velmora::platform::set_env(it->key, it->value, /*overwrite=*/false);
    applied.push_back(*it);
  }
  return applied;
}

}  // namespace velmora
