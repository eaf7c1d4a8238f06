// The client's shared state: what its members and its coroutines (which keep it alive while
// they are suspended) work on. Private to the client's sources.
#pragma once

#include <cstdio>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/steady_timer.hpp>

#include "transport.hpp"
#include "velmora/base/async.hpp"
#include "wirelet/client.hpp"
#include "wirelet/wire_format.hpp"

namespace wirelet {

namespace net = boost::asio;
using velmora::base::Event;

struct Connection;

/// Takes each read's outcome for the connection it is part of. Handed to the transport as an
/// alias of the connection, which the read so keeps alive without an allocation per frame; the
/// client's state is only looked at, so a read that ends after the client is gone does nothing.
class Receiver final : public detail::FrameSink {
 public:
  explicit Receiver(Connection& conn) : conn_(conn) {}
  void on_frame(const boost::system::error_code& ec, std::string_view data,
                bool binary) noexcept override;
  std::weak_ptr<AgentWsV3Client::Impl> impl;

 private:
  Connection& conn_;
};

/// One open websocket and where reading it stands.
struct Connection {
  Connection() : receiver(*this) {}
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  std::unique_ptr<detail::Transport> transport;
  FrameDecoder decoder;
  /// Set when close begins; from then on nothing read is queued and no read starts.
  bool stopping = false;
  /// A read is under way (there is at most one).
  bool reading = false;
  /// The transport reported its end (an error or the peer's close); nothing more is read.
  bool ended = false;
  /// A frame handed to a waiting `pop`, still in the transport's buffer until it is decoded.
  std::optional<std::string_view> handed;
  bool handed_binary = false;
  Receiver receiver;
};

/// A `pop` waiting for a message; resumed at most once.
using PopWaiter = velmora::base::detail::QueueWaiter;

struct AgentWsV3Client::Impl : std::enable_shared_from_this<AgentWsV3Client::Impl> {
  Impl(const net::any_io_executor& ex, std::shared_ptr<WireletConfig> cfg)
      : executor(ex),
        config(std::move(cfg)),
        incoming(*this),
        thread_id_ready(ex),
        requested_thread_id(config->thread_id),
        send_wake(ex, std::chrono::steady_clock::time_point::max()) {}

  void debug_print_raw(std::string_view direction, std::string_view frame, bool binary) const {
    if (!config->debug) return;
    std::string line = "[DEBUG][";
    line += direction;
    line += "] ";
    line += frame_debug_text(frame, binary);
    emit_debug(line);
  }

  void emit_debug(std::string_view text) const {
    if (debug_sink) {
      debug_sink(text);
      return;
    }
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
  }

  /// Waiting `pop` calls end with operation_aborted, like reads on a destroyed socket.
  ~Impl() {
    for (auto& waiter : waiters) {
      waiter->slot.clear();
      net::post(executor,
                [waiter = std::move(waiter)] { waiter->resume(net::error::operation_aborted); });
    }
  }

  /// Takes the oldest waiting `pop` off the list, or null.
  std::unique_ptr<PopWaiter> next_waiter() {
    if (waiters.empty()) return nullptr;
    auto waiter = std::move(waiters.front());
    waiters.pop_front();
    waiter->slot.clear();
    return waiter;
  }

  net::any_io_executor executor;
  std::shared_ptr<WireletConfig> config;
  IncomingQueue incoming;
  /// Messages received and not yet popped.
  std::deque<Incoming> items;
  /// Suspended `pop` calls, oldest first.
  std::deque<std::unique_ptr<PopWaiter>> waiters;
  Event thread_id_ready;
  std::optional<std::string> requested_thread_id;
  /// Set by close, cleared by connect.
  bool closed = false;
  /// Set when the client object is destroyed; a connect still under way then drops its result.
  bool abandoned = false;
  /// Present from a successful connect until close.
  std::shared_ptr<Connection> connection;
  DebugSink debug_sink;
  /// True while one sender owns the socket's write side; the others wait on `send_wake`.
  bool sending = false;
  net::steady_timer send_wake;
};

/// Starts the next read of the client's current connection `conn` unless one is under way or
/// reading has ended.
void read_next(const std::shared_ptr<AgentWsV3Client::Impl>& self, Connection& conn);

}  // namespace wirelet
