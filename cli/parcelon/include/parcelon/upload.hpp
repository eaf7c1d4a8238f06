// Attachment upload client: sends local files to the File API before a query and turns each
// into the attachment record the query carries.
//
// Each upload is one multipart POST to <base_url>/api/v2/upload_attachment with the file, the
// thread id and the user id; the answer's "relative_path" becomes the record's "file_path".
// Failures are wirelet errors with fixed messages ("Attachment not found: …", "Attachment is
// not a regular file: …" for a folder, FIFO or device, "Upload failed
// (413): …", "Upload failed: …", "Upload returned non-JSON response: …", "Upload response
// missing relative_path: …"); a failure while reading the answer (a time-out) propagates as it
// is.
//
// The file is opened once and streamed from that descriptor, so memory does not grow with its
// size. If its size changes while it is sent, the upload fails ("Upload failed: <path> changed
// while it was being sent (…)") before the body is complete, so the File API never accepts a
// file cut short or run long.
//
// Threading: `upload_attachments` runs on the event loop and performs each upload on a worker
// thread through velmora::base::run_blocking, one at a time; the debug sink is called on the loop.
// `upload_attachment_sync` blocks the calling thread and touches no shared state.
//
//   auto records = co_await parcelon::upload_attachments(
//       file_api_url, user_id, thread_id, {{.path = "~/report.pdf"}}, {.token = token});
//   // records[0] == {"file_path": "…", "type": "application/pdf", "description": ""}
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <boost/json/object.hpp>

#include "velmora/base/async.hpp"

namespace parcelon {

/// A local file to upload before sending a query.
struct LocalAttachment {
  /// As the user gave it; a leading "~" is the home folder.
  std::string path;
  std::string description;
  /// Media type to declare; empty: guessed from the file name.
  std::string type;
};

/// {"file_path", "type", "description"}, in that order.
using AttachmentRecord = boost::json::object;

struct UploadOptions {
  /// Sent as Velmora-Authorization and x-user-token when non-empty.
  std::optional<std::string> token;
  /// Report each answer as "[DEBUG][FILE_API][RESPONSE] <answer text>".
  bool debug = false;
  /// Receives that line (plain text, not markup); standard output when empty.
  std::function<void(const std::string& line)> debug_sink;
  /// Limit for connecting and for each read and write.
  double timeout_seconds = 30;
};

/// Uploads the attachments one after another in order and returns their records in that
/// order. The first failure ends the call (earlier uploads are not undone, later ones are not
/// tried). An empty list makes no request.
velmora::base::awaitable<std::vector<AttachmentRecord>> upload_attachments(
    std::string base_url, std::string user_id, std::string thread_id,
    std::vector<LocalAttachment> attachments, UploadOptions options = {});

/// `upload_attachments` for a program that loads this library with dlopen when it first
/// uploads: dlsym finds it by this C name, and its type is the function's own, so both sides
/// agree on it when they are compiled.
using UploadAttachments = decltype(&upload_attachments);
extern "C" const UploadAttachments parcelon_upload_attachments;

/// One upload, blocking.
AttachmentRecord upload_attachment_sync(const std::string& base_url, const std::string& user_id,
                                        const std::string& thread_id,
                                        const LocalAttachment& attachment,
                                        const UploadOptions& options = {});

}  // namespace parcelon
