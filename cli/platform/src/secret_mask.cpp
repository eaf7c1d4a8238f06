#include "velmora/platform/secret_mask.hpp"

#include <algorithm>
#include <cctype>

namespace velmora::platform {
namespace {

constexpr std::size_t MASK_KEEP = 8;
constexpr std::string_view ELLIPSIS = "…";

bool is_continuation(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

std::size_t characters(std::string_view text) {
  return static_cast<std::size_t>(
      std::count_if(text.begin(), text.end(), [](char c) { return !is_continuation(c); }));
}

// Characters that tokens are made of (base64url, JWT dots, form-safe punctuation).
bool is_token_char(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '-' || c == '_' || c == '.' ||
         c == '~' || c == '+' || c == '/' || is_continuation(c) ||
         (static_cast<unsigned char>(c) & 0x80) != 0;
}

// Ends a secret field's value in a text: quotes, separators, brackets and white space.
bool ends_value(char c) {
  return std::isspace(static_cast<unsigned char>(c)) != 0 || c == '"' || c == '\'' || c == '\\' ||
         c == '&' || c == ',' || c == ';' || c == '}' || c == ']' || c == ')' || c == '<' ||
         c == '>';
}

bool is_name_char(char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_'; }

bool already_masked(std::string_view value) { return value.ends_with(ELLIPSIS); }

void mask_known_token(std::string& text, std::string_view token) {
  if (token.empty() || already_masked(token)) return;
  const bool anywhere = characters(token) >= MASK_KEEP;
  const std::string shown = mask_token(token);
  for (auto at = text.find(token); at != std::string::npos; at = text.find(token, at)) {
    const auto end = at + token.size();
    const bool alone = (at == 0 || !is_token_char(text[at - 1])) &&
                       (end == text.size() || !is_token_char(text[end]));
    if (anywhere || alone) {
      text.replace(at, token.size(), shown);
      at += shown.size();
    } else {
      at += 1;
    }
  }
}

// "name": "value", name=value, \"name\": \"value\", name: value.
void mask_field_values(std::string& text, std::string_view name) {
  for (auto at = text.find(name); at != std::string::npos; at = text.find(name, at + 1)) {
    if (at > 0 && is_name_char(text[at - 1])) continue;
    auto pos = at + name.size();
    if (pos < text.size() && is_name_char(text[pos])) continue;
    bool separated = false;
    while (pos < text.size()) {
      const char c = text[pos];
      if (c == ':' || c == '=') {
        if (separated) break;
        separated = true;
      } else if (c != '"' && c != '\'' && c != '\\' && c != ' ' && c != '\t') {
        break;
      }
      ++pos;
    }
    if (!separated) continue;
    auto end = pos;
    while (end < text.size() && !ends_value(text[end])) ++end;
    const std::string_view value(text.data() + pos, end - pos);
    if (value.empty() || already_masked(value)) continue;
    const std::string shown = mask_token(value);
    text.replace(pos, end - pos, shown);
    at = pos + shown.size() - 1;
  }
}

}  // namespace

std::string mask_token(std::string_view token) {
  // Whole characters only, and never more than half of a short token.
  const std::size_t keep_chars = std::min(MASK_KEEP, token.size() / 2);
  std::size_t bytes = 0;
  for (std::size_t seen = 0; bytes < token.size() && seen < keep_chars; ++seen) {
    ++bytes;
    while (bytes < token.size() && is_continuation(token[bytes])) ++bytes;
  }
  return std::string(token.substr(0, bytes)) + std::string(ELLIPSIS);
}

std::string mask_secrets(std::string_view text, const std::vector<std::string>& tokens) {
  std::string out(text);
  // Longer tokens first, so that one containing another is masked whole.
  std::vector<std::string_view> by_length(tokens.begin(), tokens.end());
  std::sort(by_length.begin(), by_length.end(),
            [](std::string_view a, std::string_view b) { return a.size() > b.size(); });
  for (const auto token : by_length) mask_known_token(out, token);
  for (const auto name : SECRET_FIELDS) mask_field_values(out, name);
  return out;
}

boost::json::value mask_json(const boost::json::value& value,
                             const std::vector<std::string>& tokens) {
  if (value.is_string()) {
    return boost::json::value(mask_secrets(std::string_view(value.get_string()), tokens));
  }
  if (value.is_array()) {
    boost::json::array out;
    for (const auto& item : value.get_array()) out.push_back(mask_json(item, tokens));
    return out;
  }
  if (!value.is_object()) return value;
  boost::json::object out;
  for (const auto& [key, item] : value.get_object()) {
    const bool secret = std::find(SECRET_FIELDS.begin(), SECRET_FIELDS.end(),
                                  std::string_view(key)) != SECRET_FIELDS.end();
    if (!secret || item.is_null()) {
      out[key] = mask_json(item, tokens);
    } else if (item.is_string()) {
      const std::string_view text = item.get_string();
      out[key] = already_masked(text) ? std::string(text) : mask_token(text);
    } else {
      // A token sent as something other than text is hidden whole.
      out[key] = std::string(ELLIPSIS);
    }
  }
  return out;
}

}  // namespace velmora::platform
