#include <string>

#include "velmora/base/errors.hpp"
#include "velmora/program_entry.hpp"

namespace velmora {

std::string escaped_error_line(const std::exception& error) {
  const std::string kind = velmora::base::error_kind_name(error);
  std::string message = error.what();
  std::string line = "velmora: " + kind;
  if (!message.empty() && message != kind) {
    line += ": ";
    for (const char c : message) {
      const auto byte = static_cast<unsigned char>(c);
      if (c == '\n' || c == '\r' || c == '\t') {
        line += ' ';
      } else if (byte >= 0x20 && byte != 0x7F) {
        line += c;
      }
    }
  }
  return line;
}

}  // namespace velmora
