#include "parcelon/upload.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iostream>
#include <system_error>
#include <variant>

#include <boost/json/parse.hpp>

#include "parcelon/media_type.hpp"
#include "parcelon/multipart.hpp"
#include "velmora/base/errors.hpp"
#include "velmora/base/json_text.hpp"
#include "velmora/http/client.hpp"
#include "velmora/platform/paths.hpp"
#include "velmora/platform/secret_mask.hpp"

namespace parcelon {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view UPLOAD_PATH = "/api/v2/upload_attachment";
constexpr std::string_view DEBUG_PREFIX = "[DEBUG][FILE_API][RESPONSE] ";

/// An upload's result or error, with the debug line it produced; never thrown across threads
/// so the line reaches the loop on every path.
struct UploadOutcome {
  std::optional<AttachmentRecord> record;
  std::exception_ptr error;
  std::optional<std::string> debug_line;
};

// Closes the attachment when the upload ends, whichever way.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) noexcept : fd_(fd) {}
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  [[nodiscard]] int get() const noexcept { return fd_; }

 private:
  int fd_;
};

bool is_falsy(const boost::json::value& v) {
  switch (v.kind()) {
    case boost::json::kind::null:
      return true;
    case boost::json::kind::bool_:
      return !v.get_bool();
    case boost::json::kind::int64:
      return v.get_int64() == 0;
    case boost::json::kind::uint64:
      return v.get_uint64() == 0;
    case boost::json::kind::double_:
      return v.get_double() == 0;
    case boost::json::kind::string:
      return v.get_string().empty();
    case boost::json::kind::array:
      return v.get_array().empty();
    case boost::json::kind::object:
      return v.get_object().empty();
  }
  return true;
}

std::string relative_path_of(const boost::json::object& answer) {
  const auto* value = answer.if_contains("relative_path");
  if (value == nullptr || is_falsy(*value)) return {};
  if (value->is_string()) return std::string(value->get_string());
  return velmora::base::json_dumps(*value);
}

// Where in `text` the first invalid UTF-8 sequence starts.
std::size_t invalid_utf8_offset(std::string_view text) {
  std::size_t lo = 0;
  std::size_t hi = text.size();
  while (lo < hi) {  // the valid prefixes are exactly those shorter than the offset
    const std::size_t mid = lo + (hi - lo + 1) / 2;
    if (velmora::base::is_valid_utf8(text.substr(0, mid))) {
      lo = mid;
    } else {
      hi = mid - 1;
    }
  }
  return lo;
}

velmora::base::FileNotFoundError not_a_regular_file(const std::string& path) {
  return velmora::base::FileNotFoundError("Attachment is not a regular file: " + path);
}

AttachmentRecord upload(const std::string& base_url, const std::string& user_id,
                        const std::string& thread_id, const LocalAttachment& attachment,
                        const UploadOptions& options, std::optional<std::string>& debug_line) {
  // The service's answer may echo the request: the token is shown only in its debug form.
  const auto shown = [&options](const std::string& text) {
    return velmora::platform::mask_secrets(text, options.token
                                                     ? std::vector<std::string>{*options.token}
                                                     : std::vector<std::string>{});
  };
  // The file: "~" expanded, made absolute, links followed.
  std::error_code ec;
  fs::path local_path = fs::absolute(velmora::platform::expand_user(attachment.path), ec);
  if (!ec) local_path = fs::weakly_canonical(local_path, ec);
  const fs::file_status status = ec ? fs::file_status() : fs::status(local_path, ec);
  if (ec || attachment.path.empty() || !fs::exists(status)) {
    throw velmora::base::FileNotFoundError("Attachment not found: " + attachment.path);
  }
  // A folder, FIFO or device exists: "not found" would send the user looking in vain.
  if (!fs::is_regular_file(status)) throw not_a_regular_file(attachment.path);

  std::string endpoint = base_url;
  while (!endpoint.empty() && endpoint.back() == '/') endpoint.pop_back();
  endpoint += UPLOAD_PATH;

  // Opened once and sized on that descriptor: what is sent is this file, whatever the path
  // names later. O_NONBLOCK keeps a FIFO swapped in since the check above from blocking the open.
  FileDescriptor file(::open(local_path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (file.get() < 0) {
    const int err = errno;
    if (err == ENOENT)
      throw velmora::base::FileNotFoundError("Attachment not found: " + attachment.path);
    throw velmora::base::OSError(
        std::string(std::strerror(err)) + ": '" + local_path.string() + "'", err);
  }
  struct stat st {};
  if (::fstat(file.get(), &st) != 0) {
    const int err = errno;
    throw velmora::base::OSError(
        std::string(std::strerror(err)) + ": '" + local_path.string() + "'", err);
  }
  if (!S_ISREG(st.st_mode)) throw not_a_regular_file(attachment.path);

  const std::string content_type =
      attachment.type.empty() ? guess_type(local_path) : attachment.type;
  const std::string boundary = new_boundary();
  const std::string file_name = local_path.filename().string();
  auto frame = build_multipart_frame(boundary, {.file_name = file_name,
                                                .content_type = content_type,
                                                .thread_id = thread_id,
                                                .user_id = user_id});

  // The file's bytes are streamed from the descriptor between the two in-memory pieces.
  velmora::http::Request request{
      .method = "POST",
      .url = endpoint,
      .body = std::move(frame.prefix),
      .body_parts = {velmora::http::FileRegion{.path = local_path,
                                               .fd = file.get(),
                                               .size = static_cast<std::uint64_t>(st.st_size),
                                               .to_end_of_file = true},
                     std::move(frame.suffix)},
      .timeout_seconds = options.timeout_seconds};
  request.headers.push_back({"Content-Type", "multipart/form-data; boundary=" + boundary});
  if (options.token && !options.token->empty()) {
    request.headers.push_back({"Velmora-Authorization", *options.token});
    request.headers.push_back({"x-user-token", *options.token});
  }
  if (!user_id.empty()) request.headers.push_back({"x-user-id", user_id});

  // Failures before the answer are the upload's own; those while reading it pass through.
  auto outcome = velmora::http::exchange(request);
  if (auto* failure = std::get_if<velmora::http::TransportFailure>(&outcome)) {
    if (failure->stage == velmora::http::Stage::receive) std::rethrow_exception(failure->error);
    try {
      std::rethrow_exception(failure->error);
    } catch (const std::exception& e) {
      throw velmora::base::RuntimeError(std::string("Upload failed: ") + e.what(),
                                        std::current_exception());
    }
  }
  auto& response = std::get<velmora::http::Response>(outcome);
  if (!response.is_success()) {
    throw velmora::base::RuntimeError("Upload failed (" + std::to_string(response.status) +
                                      "): " + shown(velmora::base::sanitize_utf8(response.body)));
  }
  const std::string& text = response.body;
  if (!velmora::base::is_valid_utf8(text)) {
    throw velmora::base::RuntimeError(
        "Upload response is not valid UTF-8 (invalid byte at offset " +
        std::to_string(invalid_utf8_offset(text)) + ")");
  }
  if (options.debug) debug_line = std::string(DEBUG_PREFIX) + shown(text);

  boost::system::error_code parse_error;
  const auto answer = boost::json::parse(text, parse_error);
  if (parse_error) {
    throw velmora::base::RuntimeError(
        "Upload returned non-JSON response: " + shown(text),
        std::make_exception_ptr(velmora::base::RuntimeError(parse_error.message())));
  }
  // Any answer but an object has no relative_path to give.
  const std::string relative_path = answer.is_object() ? relative_path_of(answer.get_object()) : "";
  if (relative_path.empty()) {
    throw velmora::base::RuntimeError("Upload response missing relative_path: " +
                                      shown(velmora::base::json_dumps(answer)));
  }
  return AttachmentRecord{{"file_path", relative_path},
                          {"type", content_type},
                          {"description", attachment.description}};
}

UploadOutcome upload_capturing(const std::string& base_url, const std::string& user_id,
                               const std::string& thread_id, const LocalAttachment& attachment,
                               const UploadOptions& options) {
  UploadOutcome outcome;
  try {
    outcome.record = upload(base_url, user_id, thread_id, attachment, options, outcome.debug_line);
  } catch (...) {
    outcome.error = std::current_exception();
  }
  return outcome;
}

void emit_debug(const UploadOptions& options, const std::string& line) {
  if (options.debug_sink) {
    options.debug_sink(line);
  } else {
    std::cout << line << std::endl;
  }
}

AttachmentRecord finish(UploadOutcome outcome, const UploadOptions& options) {
  if (outcome.debug_line) emit_debug(options, *outcome.debug_line);
  if (outcome.error) std::rethrow_exception(outcome.error);
  return std::move(*outcome.record);
}

}  // namespace

AttachmentRecord upload_attachment_sync(const std::string& base_url, const std::string& user_id,
                                        const std::string& thread_id,
                                        const LocalAttachment& attachment,
                                        const UploadOptions& options) {
  return finish(upload_capturing(base_url, user_id, thread_id, attachment, options), options);
}

velmora::base::awaitable<std::vector<AttachmentRecord>> upload_attachments(
    std::string base_url, std::string user_id, std::string thread_id,
    std::vector<LocalAttachment> attachments, UploadOptions options) {
  std::vector<AttachmentRecord> records;
  records.reserve(attachments.size());
  // The worker gets copies of everything it reads: nothing it touches belongs to the loop.
  UploadOptions worker_options{
      .token = options.token, .debug = options.debug, .timeout_seconds = options.timeout_seconds};
  for (const auto& attachment : attachments) {
    // Named, not a temporary inside co_await: g++ 12 destroys such a closure twice.
    auto job = [base_url, user_id, thread_id, attachment, worker_options] {
      return upload_capturing(base_url, user_id, thread_id, attachment, worker_options);
    };
    auto outcome = co_await velmora::base::run_blocking(std::move(job));
    records.push_back(finish(std::move(outcome), options));
  }
  co_return records;
}

extern "C" const UploadAttachments parcelon_upload_attachments = &upload_attachments;

}  // namespace parcelon
