// Strict incremental parser of the attachment upload body: exactly the parts "file" (with a
// file name and a Content-Type), "thread_id" and "user_id", in that order, each with only the
// headers the client sends, framed by CRLF-delimited boundary lines and nothing before the
// first or after the closing boundary line. File bytes go to a sink as they arrive, so a large
// upload never sits whole in memory.
//
//   MultipartParser parser(boundary, {.on_file_data = [&](std::string_view b) { out << b; }});
//   parser.feed(chunk1); parser.feed(chunk2);
//   if (!parser.finish()) reply(400, parser.error());
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velmora::agent_sim {

struct MultipartFields {
  /// The file name with the escapes %22, %0D and %0A decoded.
  std::string file_name;
  /// The file name exactly as it stood between the quotes.
  std::string file_name_raw;
  std::string content_type;
  std::string thread_id;
  std::string user_id;
  std::uint64_t file_size = 0;
};

struct MultipartCallbacks {
  /// Called once the file part's headers are read (name and type known).
  std::function<void(const MultipartFields&)> on_file_start;
  /// File bytes in order; may be called with pieces of any size.
  std::function<void(std::string_view)> on_file_data;
};

/// The boundary of a `multipart/form-data; boundary=…` Content-Type, or nothing with the reason
/// in `error`.
[[nodiscard]] std::optional<std::string> multipart_boundary(std::string_view content_type,
                                                            std::string& error);

/// Decodes %22, %0D and %0A (either case) and leaves everything else as it is.
[[nodiscard]] std::string decode_file_name(std::string_view raw);

class MultipartParser {
 public:
  MultipartParser(std::string boundary, MultipartCallbacks callbacks);

  /// Consumes bytes; false once the body is known to be malformed.
  bool feed(std::string_view bytes);
  /// The body ended; false when it ended early or was malformed.
  bool finish();

  [[nodiscard]] bool failed() const noexcept { return state_ == State::failed; }
  /// Why the body was refused.
  [[nodiscard]] const std::string& error() const noexcept { return error_; }
  [[nodiscard]] const MultipartFields& fields() const noexcept { return fields_; }

 private:
  enum class State { opening, headers, body, after_delimiter, closing, done, failed };

  bool step(std::size_t& pos);
  bool fail(std::string reason);
  bool header_line(std::string_view line);
  bool end_of_headers();
  bool end_of_part();
  void take_body(std::string_view bytes);

  std::string delimiter_;  ///< CRLF "--" boundary: ends every part body
  MultipartCallbacks callbacks_;
  State state_ = State::opening;
  std::string buffer_;
  std::size_t part_ = 0;
  std::size_t header_bytes_ = 0;
  std::optional<std::string> disposition_;
  std::optional<std::string> part_type_;
  std::string field_value_;
  MultipartFields fields_;
  std::string error_;
};

}  // namespace velmora::agent_sim
