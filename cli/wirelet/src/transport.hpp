// The websocket connection behind AgentWsV3Client, over TCP or TLS. Keeps Beast out of every
// other translation unit.
//
// Threading: one read, one write and one close may be in flight at once, all on the executor
// the transport was opened on. Transport errors are returned as values; only opening throws.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include <boost/system/error_code.hpp>

namespace boost::asio::ssl {
class context;
}  // namespace boost::asio::ssl

#include "velmora/base/async.hpp"
#include "wirelet/wire_format.hpp"

namespace wirelet::detail {

/// Takes the outcome of each read.
class FrameSink {
 public:
  virtual ~FrameSink() = default;
  /// One whole message, or the error that ended the connection (`data` empty). `data` stays
  /// valid until the next read starts. Must not throw.
  virtual void on_frame(const boost::system::error_code& ec, std::string_view data,
                        bool binary) noexcept = 0;
};

class Transport {
 public:
  virtual ~Transport() = default;

  /// Reads one whole message and hands it to `sink`, which the read keeps alive until then. The
  /// hand-over runs as the read's own completion, without another turn of the event loop.
  virtual void start_read(std::shared_ptr<FrameSink> sink) = 0;
  /// Sends `text` as one text frame.
  virtual velmora::base::awaitable<boost::system::error_code> write(std::string_view text) = 0;
  /// The closing handshake. A transport that is already closed, failed or dropped by the peer
  /// counts as closed: only a failure of a live handshake is returned.
  virtual velmora::base::awaitable<boost::system::error_code> close() = 0;
  /// Drops the socket at once; pending operations complete with an error.
  virtual void teardown() noexcept = 0;

  /// True when `ec` from `receive` is the peer's orderly close (codes 1000, 1001 or none).
  [[nodiscard]] virtual bool is_normal_close(const boost::system::error_code& ec) const = 0;
  /// The text form of an error from this transport, as the user sees it.
  [[nodiscard]] virtual std::string describe(const boost::system::error_code& ec) const = 0;
};

/// The TLS context for `endpoint`'s attempts (null for ws://); made once per connect, since a
/// missing trust store will not appear between attempts. Throws OSError.
std::shared_ptr<boost::asio::ssl::context> tls_context_for(const WsEndpoint& endpoint);

/// Resolves, connects, runs the TLS and websocket handshakes, all within `timeout_seconds`.
/// Throws TimeoutError "timed out during opening handshake", InvalidStatus for a status other
/// than 101, OSError with the system's or OpenSSL's text otherwise.
velmora::base::awaitable<std::unique_ptr<Transport>> open_transport(
    const WsEndpoint& endpoint, std::shared_ptr<boost::asio::ssl::context> tls_context,
    double timeout_seconds);

}  // namespace wirelet::detail
