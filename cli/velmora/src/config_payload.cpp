#include "velmora/config_payload.hpp"

#include <fmt/format.h>

#include <boost/json/stream_parser.hpp>

#include "velmora/base/strings.hpp"
#include "velmora/cli_errors.hpp"

namespace velmora {

namespace {

constexpr std::string_view INVALID_CONFIG = "Invalid --config JSON.";
constexpr std::string_view NOT_AN_OBJECT_HINT =
    "Pass a JSON object instead of an array, string, or number.";
constexpr std::string_view INVALID_TEXT_HINT =
    "Pass a valid JSON object, for example --config '{\"devevaro_account\":\"123\"}' or use a "
    "PowerShell-friendly object like --config \"{devevaro_account:123}\".";

/// The decoder's message with where it stopped, counted in characters as the user typed them.
std::string describe_json_error(std::string_view text, std::size_t consumed,
                                const boost::system::error_code& ec) {
  std::size_t line = 1;
  std::size_t column = 1;
  std::size_t chars = 0;
  for (std::size_t i = 0; i < consumed && i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if ((byte & 0xc0) == 0x80) continue;
    ++chars;
    if (byte == '\n') {
      ++line;
      column = 1;
    } else {
      ++column;
    }
  }
  std::string message = ec.message();
  if (!message.empty() && message[0] >= 'a' && message[0] <= 'z') message[0] -= 'a' - 'A';
  return fmt::format("{} at line {} column {} (char {})", message, line, column, chars);
}

}  // namespace

std::string strip_wrapping_quotes(std::string_view value) {
  if (value.size() >= 2 && value.front() == value.back() &&
      (value.front() == '"' || value.front() == '\'')) {
    return std::string(value.substr(1, value.size() - 2));
  }
  return std::string(value);
}

std::vector<std::string> split_top_level_pairs(std::string_view text) {
  std::vector<std::string> pairs;
  std::string current;
  char open_quote = 0;
  const auto finish = [&] {
    const auto trimmed = base::trim(current);
    if (!trimmed.empty()) pairs.emplace_back(trimmed);
    current.clear();
  };
  for (const char ch : text) {
    if (ch == '"' || ch == '\'') {
      if (open_quote == 0) {
        open_quote = ch;
      } else if (open_quote == ch) {
        open_quote = 0;
      }
      current += ch;
    } else if (ch == ',' && open_quote == 0) {
      finish();
    } else {
      current += ch;
    }
  }
  finish();
  return pairs;
}

std::optional<boost::json::object> parse_loose_config_payload(std::string_view raw_text) {
  auto text = base::trim(raw_text);
  if (text.empty()) return std::nullopt;
  if (text.front() == '{' && text.back() == '}') {
    text = base::trim(text.substr(1, text.size() - 2));
    if (text.empty()) return boost::json::object{};
  }
  if (text.find(':') == std::string_view::npos && text.find('=') == std::string_view::npos) {
    return std::nullopt;
  }
  boost::json::object result;
  for (const auto& pair : split_top_level_pairs(text)) {
    const auto colon = pair.find(':');
    const auto at = colon != std::string::npos ? colon : pair.find('=');
    if (at == std::string::npos) return std::nullopt;
    const std::string key = strip_wrapping_quotes(base::trim(std::string_view(pair).substr(0, at)));
    const std::string value =
        strip_wrapping_quotes(base::trim(std::string_view(pair).substr(at + 1)));
    if (key.empty()) return std::nullopt;
    const std::string lowered = base::ascii_lower(value);
    if (lowered == "true") {
      result[key] = true;
    } else if (lowered == "false") {
      result[key] = false;
    } else if (lowered == "null" || lowered == "none") {
      result[key] = nullptr;
    } else {
      result[key] = value;
    }
  }
  return result;
}

std::optional<boost::json::object> parse_config_payload(
    const std::optional<std::string>& raw_config) {
  if (!raw_config) return std::nullopt;
  const auto text = base::trim(*raw_config);
  if (text.empty()) return std::nullopt;

  boost::json::stream_parser parser;
  boost::system::error_code ec;
  const auto consumed = parser.write(text.data(), text.size(), ec);
  if (!ec) parser.finish(ec);
  if (!ec) {
    auto value = parser.release();
    if (auto* object = value.if_object()) return std::move(*object);
    throw CliInvocationError("config", std::string(INVALID_CONFIG),
                             std::string(NOT_AN_OBJECT_HINT));
  }

  if (auto loose = parse_loose_config_payload(text)) return loose;
  const std::string detail = describe_json_error(text, consumed, ec);
  throw CliInvocationError("config", std::string(INVALID_CONFIG), std::string(INVALID_TEXT_HINT),
                           detail, std::make_exception_ptr(boost::system::system_error(ec)));
}

}  // namespace velmora
