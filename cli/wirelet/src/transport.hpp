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

/// Takes each inbound message while `Transport::receive` runs.
class FrameSink {
 public:
  virtual ~FrameSink() = default;
  /// `data` is valid during the call only. False stops receiving.
  virtual bool on_frame(std::string_view data, bool binary) = 0;
};

class Transport {
 public:
  virtual ~Transport() = default;

  /// Hands every whole message to `sink` until the connection ends (its error is returned) or
  /// the sink declines (no error). One loop per connection keeps the per-message cost low.
  virtual awaitable<boost::system::error_code> receive(FrameSink& sink) = 0;
  /// Sends `text` as one text frame.
  virtual awaitable<boost::system::error_code> write(std::string_view text) = 0;
  /// The closing handshake. A transport that is already closed, failed or dropped by the peer
  /// counts as closed: only a failure of a live handshake is returned.
  virtual awaitable<boost::system::error_code> close() = 0;
  /// Drops the socket at once; pending operations complete with an error.
  virtual void teardown() noexcept = 0;

  /// True when `ec` from `receive` is the peer's orderly close (codes 1000, 1001 or none).
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
