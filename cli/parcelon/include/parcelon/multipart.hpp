// The multipart/form-data body of one upload, byte for byte: the file part, then "thread_id",
// then "user_id", each line ended by CRLF.
//
//   auto boundary = parcelon::new_boundary();   // "----quillon-upload-<32 hex digits>"
//   auto body = parcelon::build_multipart_body(boundary, {"a.txt", "text/plain", bytes, tid, uid});
//
// A large file is streamed instead: what goes around its bytes comes from build_multipart_frame.
#pragma once

#include <string>
#include <string_view>

namespace parcelon {

struct MultipartFields {
  std::string_view file_name;
  std::string_view content_type;
  /// Sent exactly as read; not used by build_multipart_frame.
  std::string_view file_bytes;
  std::string_view thread_id;
  std::string_view user_id;
};

/// "----quillon-upload-" and a fresh random UUID as 32 lower-case hex digits.
[[nodiscard]] std::string new_boundary();

[[nodiscard]] std::string build_multipart_body(std::string_view boundary,
                                               const MultipartFields& fields);

/// The body without the file's bytes: prefix + file bytes + suffix == build_multipart_body.
struct MultipartFrame {
  std::string prefix;
  std::string suffix;
};

[[nodiscard]] MultipartFrame build_multipart_frame(std::string_view boundary,
                                                   const MultipartFields& fields);

/// A file name for a quoted header parameter, as browsers write it: `"` → %22, CR → %0D,
/// LF → %0A; every other byte as it is. Unescaped, such a name would end the part header
/// early and could inject a part of its own.
[[nodiscard]] std::string escape_multipart_file_name(std::string_view name);

}  // namespace parcelon
