#include "turn_steps.hpp"

namespace velmora::agent_sim {

std::string expand_placeholders(std::string_view text, const Placeholders& values) {
  std::string out;
  out.reserve(text.size());
  std::size_t pos = 0;
  while (pos < text.size()) {
    const auto open = text.find("{{", pos);
    if (open == std::string_view::npos) break;
    const auto close = text.find("}}", open + 2);
    if (close == std::string_view::npos) break;
    out.append(text.substr(pos, open - pos));
    const auto it = values.find(text.substr(open + 2, close - open - 2));
    if (it != values.end()) {
      out.append(it->second);
    } else {
      out.append(text.substr(open, close + 2 - open));
    }
    pos = close + 2;
  }
  out.append(text.substr(pos));
  return out;
}

boost::json::value expand_json_placeholders(const boost::json::value& value,
                                            const Placeholders& values) {
  if (const auto* s = value.if_string()) {
    return boost::json::string(expand_placeholders(std::string_view(*s), values));
  }
  if (const auto* a = value.if_array()) {
    boost::json::array out;
    out.reserve(a->size());
    for (const auto& item : *a) out.push_back(expand_json_placeholders(item, values));
    return out;
  }
  if (const auto* o = value.if_object()) {
    boost::json::object out;
    for (const auto& [key, item] : *o) out[key] = expand_json_placeholders(item, values);
    return out;
  }
  return value;
}

std::vector<std::string> split_chunks(std::string_view text, std::size_t chunk_bytes) {
  std::vector<std::string> out;
  if (chunk_bytes == 0) chunk_bytes = 1;
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t end = std::min(text.size(), pos + chunk_bytes);
    while (end < text.size() && (static_cast<unsigned char>(text[end]) & 0xc0) == 0x80) ++end;
    out.emplace_back(text.substr(pos, end - pos));
    pos = end;
  }
  return out;
}

}  // namespace velmora::agent_sim
