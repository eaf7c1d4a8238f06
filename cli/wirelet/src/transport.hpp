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

#include "wirelet/async.hpp"
#include "wirelet/wire_format.hpp"

namespace wirelet::detail {

struct InboundFrame {
  /// Set when the read ended the connection; `data` is then empty.
  boost::system::error_code ec;
  /// Valid until the next read.
  std::string_view data;
  bool binary = false;
};

class Transport {
 public:
  virtual ~Transport() = default;

  /// The next whole message.
  virtual awaitable<InboundFrame> read() = 0;
  /// Sends `text` as one text frame.
  virtual awaitable<boost::system::error_code> write(std::string_view text) = 0;
  /// The closing handshake. A transport that is already closed, failed or dropped by the peer
  /// counts as closed: only a failure of a live handshake is returned.
  virtual awaitable<boost::system::error_code> close() = 0;
  /// Drops the socket at once; pending operations complete with an error.
  virtual void teardown() noexcept = 0;

  /// True when `ec` from `read` is the peer's orderly close (codes 1000, 1001 or none).
  [[nodiscard]] virtual bool is_normal_close(const boost::system::error_code& ec) const = 0;
  /// The text form of an error from this transport, as the user sees it.
  [[nodiscard]] virtual std::string describe(const boost::system::error_code& ec) const = 0;
};

/// Resolves, connects, runs the TLS and websocket handshakes, all within `timeout_seconds`.
/// Throws TimeoutError "timed out during opening handshake", InvalidStatus for a status other
/// than 101, OSError with the system's or OpenSSL's text otherwise.
awaitable<std::unique_ptr<Transport>> open_transport(const WsEndpoint& endpoint,
                                                     double timeout_seconds);

}  // namespace wirelet::detail
