#include "parcelon/multipart.hpp"

#include <boost/uuid/random_generator.hpp>
#include <boost/uuid/uuid.hpp>

namespace parcelon {
namespace {

constexpr std::string_view CRLF = "\r\n";

void line(std::string& out, std::string_view a, std::string_view b = {}, std::string_view c = {}) {
  out.append(a).append(b).append(c).append(CRLF);
}

// CR and LF in a header value would start a new header line; a quote would end a quoted one.
std::string percent_escape(std::string_view value, bool quotes) {
  std::string out;
  out.reserve(value.size());
  for (const char c : value) {
    if (c == '\r') {
      out += "%0D";
    } else if (c == '\n') {
      out += "%0A";
    } else if (c == '"' && quotes) {
      out += "%22";
    } else {
      out.push_back(c);
    }
  }
  return out;
}

std::string escape_line_breaks(std::string_view value) { return percent_escape(value, false); }

}  // namespace

std::string new_boundary() {
  static constexpr char HEX[] = "0123456789abcdef";
  // One generator per thread: uploads run on worker threads.
  thread_local boost::uuids::random_generator generate;
  const boost::uuids::uuid id = generate();
  std::string out = "----quillon-upload-";
  for (const auto byte : id) {
    out.push_back(HEX[byte >> 4]);
    out.push_back(HEX[byte & 0x0F]);
  }
  return out;
}

std::string escape_multipart_file_name(std::string_view name) { return percent_escape(name, true); }

MultipartFrame build_multipart_frame(std::string_view boundary, const MultipartFields& fields) {
  MultipartFrame frame;
  std::string& prefix = frame.prefix;
  line(prefix, "--", boundary);
  line(prefix, "Content-Disposition: form-data; name=\"file\"; filename=\"",
       escape_multipart_file_name(fields.file_name), "\"");
  line(prefix, "Content-Type: ", escape_line_breaks(fields.content_type));
  line(prefix, "");
  std::string& suffix = frame.suffix;
  suffix.append(CRLF);  // ends the file's line
  line(suffix, "--", boundary);
  line(suffix, "Content-Disposition: form-data; name=\"thread_id\"");
  line(suffix, "");
  line(suffix, fields.thread_id);
  line(suffix, "--", boundary);
  line(suffix, "Content-Disposition: form-data; name=\"user_id\"");
  line(suffix, "");
  line(suffix, fields.user_id);
  line(suffix, "--", boundary, "--");
  return frame;
}

std::string build_multipart_body(std::string_view boundary, const MultipartFields& fields) {
  const MultipartFrame frame = build_multipart_frame(boundary, fields);
  std::string body;
  body.reserve(frame.prefix.size() + fields.file_bytes.size() + frame.suffix.size());
  body.append(frame.prefix).append(fields.file_bytes).append(frame.suffix);
  return body;
}

}  // namespace parcelon
