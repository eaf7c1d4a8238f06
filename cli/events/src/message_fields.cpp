#include "velmora/events/message_fields.hpp"

#include <array>

#include "velmora/base/json_text.hpp"

namespace velmora::events {
namespace {

constexpr int MAX_JSON_DEPTH = 6;

// A cut that never splits a UTF-8 sequence.
std::size_t utf8_boundary(std::string_view text, std::size_t at) {
  if (at >= text.size()) return text.size();
  while (at > 0 && (static_cast<unsigned char>(text[at]) & 0xc0) == 0x80) --at;
  return at;
}

void append_compact(std::string& out, const boost::json::value& value, std::size_t max_bytes,
                    int depth) {
  if (out.size() >= max_bytes) return;
  switch (value.kind()) {
    case boost::json::kind::object: {
      if (depth >= MAX_JSON_DEPTH) {
        out += "{…}";
        return;
      }
      out += '{';
      bool first = true;
      for (const auto& entry : value.get_object()) {
        if (out.size() >= max_bytes) break;
        if (!first) out += ", ";
        first = false;
        out += '"';
        out.append(entry.key());
        out += "\": ";
        append_compact(out, entry.value(), max_bytes, depth + 1);
      }
      out += '}';
      return;
    }
    case boost::json::kind::array: {
      if (depth >= MAX_JSON_DEPTH) {
        out += "[…]";
        return;
      }
      out += '[';
      bool first = true;
      for (const auto& element : value.get_array()) {
        if (out.size() >= max_bytes) break;
        if (!first) out += ", ";
        first = false;
        append_compact(out, element, max_bytes, depth + 1);
      }
      out += ']';
      return;
    }
    case boost::json::kind::string:
      out += '"';
      out.append(value.get_string().subview(0, utf8_boundary(value.get_string(), max_bytes)));
      out += '"';
      return;
    case boost::json::kind::null:
      out += "null";
      return;
    default:
      out += scalar_text(&value);
      return;
  }
}

}  // namespace

const boost::json::value* find_field(const boost::json::object& msg, std::string_view key) {
  if (const auto* value = msg.if_contains(key); value && !value->is_null()) return value;
  if (const auto* payload = msg.if_contains("payload"); payload && payload->is_object()) {
    if (const auto* value = payload->get_object().if_contains(key); value && !value->is_null()) {
      return value;
    }
  }
  return nullptr;
}

std::string scalar_text(const boost::json::value* value) {
  if (!value) return {};
  switch (value->kind()) {
    case boost::json::kind::string:
      return std::string(value->get_string());
    case boost::json::kind::int64:
      return std::to_string(value->get_int64());
    case boost::json::kind::uint64:
      return std::to_string(value->get_uint64());
    case boost::json::kind::double_:
      return velmora::base::format_double(value->get_double());
    case boost::json::kind::bool_:
      return value->get_bool() ? "true" : "false";
    default:
      return {};
  }
}

std::string field_text(const boost::json::object& msg, std::string_view key) {
  return scalar_text(find_field(msg, key));
}

std::string first_field_text(const boost::json::object& msg,
                             std::initializer_list<std::string_view> keys) {
  for (const auto key : keys) {
    std::string text = field_text(msg, key);
    if (!text.empty()) return text;
  }
  return {};
}

std::string trimmed(std::string_view text) {
  const auto begin = text.find_first_not_of(" \t\n");
  if (begin == std::string_view::npos) return {};
  const auto end = text.find_last_not_of(" \t\n");
  return std::string(text.substr(begin, end - begin + 1));
}

std::string lower_trimmed(std::string_view text) {
  std::string out = trimmed(text);
  for (auto& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

std::optional<std::string> optional_text(const boost::json::object& msg, std::string_view key) {
  const auto* value = msg.if_contains(key);
  if (!value || !(value->is_string() || value->is_number())) return std::nullopt;
  std::string text = scalar_text(value);
  if (text.empty()) return std::nullopt;
  return text;
}

std::string compact_json(const boost::json::value& value, std::size_t max_bytes) {
  std::string out;
  append_compact(out, value, max_bytes, 0);
  if (out.size() > max_bytes) {
    out.resize(utf8_boundary(out, max_bytes));
    out += "…";
  }
  return out;
}

bool truthy(const boost::json::value* value) {
  if (!value) return false;
  switch (value->kind()) {
    case boost::json::kind::null:
      return false;
    case boost::json::kind::bool_:
      return value->get_bool();
    case boost::json::kind::int64:
      return value->get_int64() != 0;
    case boost::json::kind::uint64:
      return value->get_uint64() != 0;
    case boost::json::kind::double_:
      return value->get_double() != 0.0;
    case boost::json::kind::string:
      return !value->get_string().empty();
    case boost::json::kind::array:
      return !value->get_array().empty();
    case boost::json::kind::object:
      return !value->get_object().empty();
  }
  return false;
}

}  // namespace velmora::events
