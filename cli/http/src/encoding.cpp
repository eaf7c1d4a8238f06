#include "velmora/http/encoding.hpp"

namespace velmora::http {
namespace {

bool is_unreserved(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '.' || c == '_' || c == '~';
}

void append_escaped(std::string& out, std::string_view text, bool space_as_plus) {
  static constexpr char HEX[] = "0123456789ABCDEF";
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (is_unreserved(c)) {
      out.push_back(ch);
    } else if (c == ' ' && space_as_plus) {
      out.push_back('+');
    } else {
      out.push_back('%');
      out.push_back(HEX[c >> 4]);
      out.push_back(HEX[c & 0x0F]);
    }
  }
}

}  // namespace

std::string form_encode(const std::vector<std::pair<std::string, std::string>>& fields) {
  std::string out;
  for (const auto& [name, value] : fields) {
    if (!out.empty()) out.push_back('&');
    append_escaped(out, name, true);
    out.push_back('=');
    append_escaped(out, value, true);
  }
  return out;
}

std::string encode_path_segment(std::string_view segment) {
  std::string out;
  append_escaped(out, segment, false);
  return out;
}

}  // namespace velmora::http
