// A small blocking HTTP(S)/1.1 client for the File API and the credentials service.
//
// One request per connection. HTTPS is verified like `wss://`: the system's trust store,
// SNI, and the certificate must name the host. `HTTPS_PROXY` / `HTTP_PROXY` / `NO_PROXY` (also
// lower case) are honoured: a CONNECT tunnel for https, the absolute-form target for http.
//
// Outcomes: any HTTP status is a `Response` the caller inspects. A transport failure is a
// `velmora::base::OSError` with the system's text, or `velmora::base::TimeoutError` ("timed out")
// when the connection, a write or a read takes longer than `timeout_seconds`. `exchange` also says
// in which stage the failure happened; `send` just throws it. A malformed URL or a header value
// with CR/LF/NUL throws `velmora::base::RuntimeError` before anything is sent.
//
// Large bodies: `body_parts` follow `body` and may name regions of files, which are streamed in
// fixed chunks, so memory stays bounded by the chunk size whatever the file size. A file that
// reads shorter than its region, or longer when the region must end the file, fails the
// request (`Stage::send`) before the last byte goes out, so the peer never gets a whole but
// wrong body. A file part given by path that cannot be opened throws `velmora::base::OSError`
// before connecting.
//
// Threading: every call blocks the calling thread (run it through `velmora::base::run_blocking`
// from the event loop) and shares no state with other calls.
//
//   auto res = velmora::http::send({.method = "POST", .url = base + "/oauth/token",
//                                   .headers = {{"Content-Type",
//                                   velmora::http::FORM_CONTENT_TYPE}}, .body =
//                                   velmora::http::form_encode({{"client_id", id}})});
//   if (!res.is_success()) ... res.status, res.body ...
#pragma once

#include <cstdint>
#include <exception>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace velmora::http {

struct Header {
  std::string name;
  std::string value;
};
using Headers = std::vector<Header>;

/// Bytes `offset` .. `offset + size` of a file, read when the request is written.
struct FileRegion {
  /// Names the file in error messages; opened (and closed again) when `fd` is -1.
  std::filesystem::path path;
  /// An open descriptor, still the caller's; read with pread, so its position is untouched.
  int fd = -1;
  std::uint64_t offset = 0;
  /// Counted into Content-Length before anything is read.
  std::uint64_t size = 0;
  /// The region must reach the end of the file: bytes beyond it mean the file grew.
  bool to_end_of_file = false;
};

/// Bytes in memory or a region of a file.
using BodyPart = std::variant<std::string, FileRegion>;

struct Request {
  std::string method = "GET";
  /// http:// or https:// address; a fragment is dropped.
  std::string url;
  /// Sent in this order, after Host; the client adds Content-Length, User-Agent (unless given)
  /// and Connection: close.
  Headers headers;
  std::string body;
  /// Sent after `body`, in order.
  std::vector<BodyPart> body_parts;
  /// Limit for connecting (resolve, TCP, proxy tunnel, TLS) and for each write and read.
  double timeout_seconds = 30;
};

struct Response {
  int status = 0;
  std::string reason;
  /// In the order received.
  Headers headers;
  std::string body;

  [[nodiscard]] bool is_success() const noexcept { return status >= 200 && status < 300; }
  /// First header of that name (case-insensitive), or nothing.
  [[nodiscard]] std::optional<std::string> header(std::string_view name) const;
};

/// Where a transport failure happened.
enum class Stage {
  connect,  ///< resolving, connecting, proxy tunnel, TLS handshake
  send,     ///< writing the request
  receive,  ///< waiting for or reading the response
};

struct TransportFailure {
  Stage stage = Stage::connect;
  /// A velmora::base::OSError or velmora::base::TimeoutError.
  std::exception_ptr error;
};

using Outcome = std::variant<Response, TransportFailure>;

/// Performs one request; transport failures are returned, not thrown.
[[nodiscard]] Outcome exchange(const Request& request);

/// Performs one request; transport failures are thrown.
Response send(const Request& request);

/// The User-Agent sent when the caller sets none.
inline constexpr std::string_view USER_AGENT = "velmora-cli";

}  // namespace velmora::http
