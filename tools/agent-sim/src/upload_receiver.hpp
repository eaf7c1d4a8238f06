// The File API upload: checks the token headers, parses the multipart body strictly as it
// streams in, keeps the file under the upload folder and answers {"relative_path": …}.
//
//   UploadReceiver upload(state, head);
//   if (auto refusal = upload.refusal()) return *refusal;   // before reading the body
//   while (more) upload.feed(chunk);
//   return upload.finish();
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "http_answer.hpp"
#include "http_routes.hpp"
#include "multipart_parser.hpp"
#include "sha256.hpp"
#include "sim_state.hpp"

namespace velmora::agent_sim {

class UploadReceiver {
 public:
  UploadReceiver(SimState& state, RequestHead head);
  ~UploadReceiver();  ///< removes an unfinished temporary file
  UploadReceiver(const UploadReceiver&) = delete;
  UploadReceiver& operator=(const UploadReceiver&) = delete;

  /// The answer to give without reading the body (wrong method or Content-Type, refused
  /// token), already recorded; nothing when the body should be read.
  [[nodiscard]] const std::optional<HttpAnswer>& refusal() const noexcept { return refusal_; }
  void feed(std::string_view bytes);
  /// The body is complete: the final answer, recorded.
  HttpAnswer finish();
  /// The body could not be read whole (too large, connection broken): the answer, recorded.
  HttpAnswer fail(unsigned status, const std::string& reason);

 private:
  HttpAnswer conclude(HttpAnswer answer, const std::string& error);
  void start_file(const MultipartFields& fields);
  void write_file(std::string_view bytes);
  [[nodiscard]] std::string token_problem() const;

  SimState& state_;
  RequestHead head_;
  std::string boundary_;
  std::unique_ptr<MultipartParser> parser_;
  Sha256 digest_;
  std::optional<HttpAnswer> refusal_;
  /// Where the file part is being written; empty when files are not kept.
  std::filesystem::path temp_path_;
  std::ofstream file_;
  std::string write_error_;
  bool concluded_ = false;
};

}  // namespace velmora::agent_sim
