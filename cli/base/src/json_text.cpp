#include "velmora/base/json_text.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <vector>

#include <boost/json.hpp>

namespace velmora::base {
namespace {

// Length of the valid UTF-8 sequence starting at `s[i]`, or 0 when it is invalid.
std::size_t utf8_sequence_length(std::string_view s, std::size_t i) noexcept {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char c = byte(i);
  if (c < 0x80) return 1;
  std::size_t len = 0;
  std::uint32_t cp = 0;
  if (c >= 0xC2 && c <= 0xDF) {
    len = 2;
    cp = c & 0x1Fu;
  } else if (c >= 0xE0 && c <= 0xEF) {
    len = 3;
    cp = c & 0x0Fu;
  } else if (c >= 0xF0 && c <= 0xF4) {
    len = 4;
    cp = c & 0x07u;
  } else {
    return 0;
  }
  if (i + len > s.size()) return 0;
  for (std::size_t k = 1; k < len; ++k) {
    const unsigned char cc = byte(i + k);
    if ((cc & 0xC0u) != 0x80u) return 0;
    cp = (cp << 6) | (cc & 0x3Fu);
  }
  // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
  if ((len == 3 && cp < 0x800) || (len == 4 && (cp < 0x10000 || cp > 0x10FFFF)) ||
      (cp >= 0xD800 && cp <= 0xDFFF)) {
    return 0;
  }
  return len;
}

constexpr std::string_view REPLACEMENT = "\xEF\xBF\xBD";

// Appends the UTF-8 sequence at `text[i]`, or U+FFFD for a byte that starts none; returns the
// bytes consumed.
std::size_t append_sequence_or_replacement(std::string& out, std::string_view text, std::size_t i) {
  const std::size_t len = utf8_sequence_length(text, i);
  if (len == 0) {
    out += REPLACEMENT;
    return 1;
  }
  out.append(text.substr(i, len));
  return len;
}

void append_escaped(std::string& out, std::string_view text) {
  static constexpr char HEX_DIGITS[] = "0123456789abcdef";
  for (std::size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c >= 0x80) {
      i += append_sequence_or_replacement(out, text, i);
      continue;
    }
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\f':
        out += "\\f";
        break;
      default:
        if (c < 0x20) {
          out += "\\u00";
          out += HEX_DIGITS[c >> 4];
          out += HEX_DIGITS[c & 0x0F];
        } else {
          out += static_cast<char>(c);
        }
    }
    ++i;
  }
}

void dump(std::string& out, const boost::json::value& v, const JsonDumpOptions& options) {
  switch (v.kind()) {
    case boost::json::kind::null:
      out += "null";
      break;
    case boost::json::kind::bool_:
      out += v.get_bool() ? "true" : "false";
      break;
    case boost::json::kind::int64:
      out += std::to_string(v.get_int64());
      break;
    case boost::json::kind::uint64:
      out += std::to_string(v.get_uint64());
      break;
    case boost::json::kind::double_:
      out += format_double(v.get_double());
      break;
    case boost::json::kind::string:
      append_json_string(out, v.get_string());
      break;
    case boost::json::kind::array: {
      out += '[';
      bool first = true;
      for (const auto& item : v.get_array()) {
        if (!first) out += ", ";
        first = false;
        dump(out, item, options);
      }
      out += ']';
      break;
    }
    case boost::json::kind::object: {
      const auto& obj = v.get_object();
      std::vector<const boost::json::key_value_pair*> items;
      items.reserve(obj.size());
      for (const auto& kv : obj) items.push_back(&kv);
      if (options.sort_keys) {
        std::stable_sort(items.begin(), items.end(),
                         [](const auto* a, const auto* b) { return a->key() < b->key(); });
      }
      out += '{';
      bool first = true;
      for (const auto* kv : items) {
        if (!first) out += ", ";
        first = false;
        append_json_string(out, kv->key());
        out += ": ";
        dump(out, kv->value(), options);
      }
      out += '}';
      break;
    }
  }
}

}  // namespace

bool is_valid_utf8(std::string_view text) noexcept {
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t len = utf8_sequence_length(text, i);
    if (len == 0) return false;
    i += len;
  }
  return true;
}

std::string sanitize_utf8(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) i += append_sequence_or_replacement(out, text, i);
  return out;
}

void append_json_string(std::string& out, std::string_view text) {
  out += '"';
  append_escaped(out, text);
  out += '"';
}

void append_json_escaped(std::string& out, std::string_view text) { append_escaped(out, text); }

std::string format_double(double value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value > 0 ? "Infinity" : "-Infinity";

  // Shortest round-trip digits in scientific form, e.g. "1.2345e+02".
  char buf[64];
  const auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
  std::string_view sci(buf, static_cast<std::size_t>(res.ptr - buf));

  std::string sign;
  if (!sci.empty() && sci.front() == '-') {
    sign = "-";
    sci.remove_prefix(1);
  }
  const auto e_pos = sci.find('e');
  std::string digits;
  for (char c : sci.substr(0, e_pos)) {
    if (c != '.') digits += c;
  }
  int exponent = 0;
  std::from_chars(sci.data() + e_pos + 1 + (sci[e_pos + 1] == '+' ? 1 : 0), sci.data() + sci.size(),
                  exponent);

  std::string out = sign;
  if (exponent >= -4 && exponent < 16) {
    if (exponent >= 0) {
      const auto int_len = static_cast<std::size_t>(exponent) + 1;
      if (digits.size() <= int_len) {
        out += digits;
        out.append(int_len - digits.size(), '0');
        out += ".0";
      } else {
        out += digits.substr(0, int_len);
        out += '.';
        out += digits.substr(int_len);
      }
    } else {
      out += "0.";
      out.append(static_cast<std::size_t>(-exponent - 1), '0');
      out += digits;
    }
    return out;
  }
  out += digits.substr(0, 1);
  if (digits.size() > 1) {
    out += '.';
    out += digits.substr(1);
  }
  out += 'e';
  out += exponent < 0 ? '-' : '+';
  const int magnitude = exponent < 0 ? -exponent : exponent;
  if (magnitude < 10) out += '0';
  out += std::to_string(magnitude);
  return out;
}

std::string json_dumps(const boost::json::value& value, JsonDumpOptions options) {
  std::string out;
  dump(out, value, options);
  return out;
}

}  // namespace velmora::base
