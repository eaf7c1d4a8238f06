// Client of the agent websocket message contract.
//
// One `AgentWsV3Client` per session: it opens the websocket (ws:// or wss://) with a bounded
// number of attempts, turns every inbound frame into a message on `incoming_queue()`, and sends
// the four outbound messages. The connection's end never throws into the caller: a normal close
// by the server, a drop and a receive error each arrive as one "_connection_error" message of the
// client's own (`Origin::client`).
//
// Receiving: from connect until the connection ends or closes, one read is always under way, so
// the connection is drained (and the peer's pings answered) whether or not anyone pops. A frame
// that arrives while a `pop` waits is decoded by that `pop`, in the same turn of the event loop
// as the read; one that arrives while nobody waits is decoded at once and queued.
//
// Threading: every member runs on the thread of the executor given at construction (one
// `io_context` thread); there are no locks. Sends may run while a read is under way, and
// several senders may overlap (frames go out whole, in call order).
//
// Lifetime: the coroutines returned by the members keep the client's state alive on their own,
// so the client object may be destroyed while one is suspended. Destroying the client drops the
// transport without a closing handshake (call `close()` first for a clean end); a `connect`
// still under way then ends with operation_aborted, and so does a `pop` on `incoming_queue()`
// once the state is gone.
//
//   auto cfg = std::make_shared<wirelet::WireletConfig>(wirelet::WireletConfig{
//       .base_url = "wss://agent.example/ws/v3", .user_id = "u1", .user_token = token});
//   wirelet::AgentWsV3Client client(ex, cfg);
//   co_await client.connect();
//   co_await client.send_query("hi", {.scenario = "s1"});
//   wirelet::Incoming in = co_await client.incoming_queue().pop();
//   co_await client.close();
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include <boost/asio/any_io_executor.hpp>
#include <boost/json/array.hpp>
#include <boost/json/object.hpp>

#include "velmora/base/async.hpp"
#include "wirelet/wire_format.hpp"

namespace wirelet {

/// One decoded inbound JSON object, or an outbound message; keys keep insertion order.
using Message = boost::json::object;

/// Largest inbound message accepted; a longer one ends the connection with "_connection_error".
inline constexpr std::size_t MAX_MESSAGE_BYTES = std::size_t{64} << 20;

/// Configuration for agent websocket client connections. Shared between the session driver and
/// the client: the client rewrites `thread_id` and `explicit_thread_id`.
struct WireletConfig {
  /// Endpoint base; ending in "/v3" puts `user_id` in the query, else it becomes a path segment.
  std::string base_url;
  std::string user_id;
  /// Travels in the URL query only.
  std::string user_token;
  std::optional<std::string> thread_id;
  /// True when `thread_id` was chosen by the user or a resume, not generated.
  bool explicit_thread_id = false;
  std::optional<std::string> user_language;
  bool debug = false;
  /// Bounds one whole attempt: resolution, TCP, TLS and the websocket handshake.
  double connect_timeout_seconds = 30.0;
  /// Attempts per `connect`; values below 1 still make one attempt.
  int reconnect_attempts = 3;
  /// The pause after failed attempt n is n times this.
  double reconnect_backoff_seconds = 1.5;
};

/// Describes how the server bound the current websocket session.
struct SessionBindingUpdate {
  std::optional<std::string> requested_thread_id;
  /// Never empty.
  std::string active_thread_id;
  bool explicit_thread_id = false;
  /// Absent unless the server sent a real boolean.
  std::optional<bool> is_new;
  /// Only an explicitly requested thread can be overridden.
  bool server_overrode_requested_thread = false;

  bool operator==(const SessionBindingUpdate&) const = default;
};

/// Optional parts of a query message; empty texts are left out of the frame.
struct QueryOptions {
  /// Attachment records; sent as [] when empty.
  boost::json::array attachments;
  std::optional<std::string> scenario;
  /// Sent whenever present, even when empty.
  std::optional<boost::json::object> config;
  std::optional<std::string> system_prompt;
  std::optional<std::string> language;
};

/// Receives debug output: one frame line, or the session block (several lines), without the
/// final line break.
using DebugSink = std::function<void(std::string_view)>;

class IncomingQueue;

/// Client wrapper for the agent websocket message contract.
class AgentWsV3Client {
 public:
  AgentWsV3Client(const boost::asio::any_io_executor& ex, std::shared_ptr<WireletConfig> config);
  ~AgentWsV3Client();
  AgentWsV3Client(const AgentWsV3Client&) = delete;
  AgentWsV3Client& operator=(const AgentWsV3Client&) = delete;

  // --- settings and thread binding ---

  [[nodiscard]] const std::shared_ptr<WireletConfig>& config() const noexcept;
  /// The bound (or requested) thread id; empty when there is none.
  [[nodiscard]] std::string thread_id() const;
  /// The thread id asked for at the latest (re)connect.
  [[nodiscard]] std::optional<std::string> requested_thread_id() const;
  [[nodiscard]] bool explicit_thread_id() const noexcept;
  /// Inbound messages in arrival order, plus the client's own "_raw" and "_connection_error"
  /// (the last message of a connection), each with its origin.
  [[nodiscard]] IncomingQueue& incoming_queue() noexcept;

  /// Records `thread_id` as the current thread and wakes `wait_for_thread_id`; empty is ignored.
  void set_thread_id(const std::string& thread_id);
  /// Records the thread the server bound (`thread_id`, not empty) and how it relates to the
  /// one requested.
  SessionBindingUpdate bind_thread(const std::string& thread_id, std::optional<bool> is_new);
  /// The thread id once known. Throws RuntimeError "Timed out waiting for thread_id from
  /// websocket metadata (<limit>s)" (cause: TimeoutError) or "thread_id is still unavailable".
  velmora::base::awaitable<std::string> wait_for_thread_id(double timeout_seconds = 10.0);
  /// The endpoint URL with its form-encoded query (holds the token: never print it).
  [[nodiscard]] std::string build_ws_url() const;

  // --- connection lifecycle ---

  /// Opens the connection and starts reading it; no-op while a connection exists. Throws
  /// the last attempt's error: InvalidStatus, TimeoutError, OSError (socket, name resolution,
  /// TLS), or RuntimeError for a URL that cannot be used. Cancellation ends it at once.
  velmora::base::awaitable<void> connect();
  /// Closes without terminate, rebinds the thread (`thread_id` wins over `new_thread`), connects.
  velmora::base::awaitable<void> reconnect(bool new_thread = false,
                                           std::optional<std::string> thread_id = {});
  /// Idempotent. Sends terminate (errors ignored), stops receiving and runs the closing
  /// handshake. A transport the peer already dropped closes normally; only a failure of a live
  /// connection's closing handshake throws. Nothing is queued after it returns.
  velmora::base::awaitable<void> close(bool send_terminate = true);
  /// True while a connection is held (open, or open with a finished receive task).
  [[nodiscard]] bool is_connected() const noexcept;
  /// True while the connection is read; false once the peer closed, the transport broke or
  /// close began.
  [[nodiscard]] bool receiving() const noexcept;

  // --- outbound messages ---

  /// Serialises and sends one text frame. Throws RuntimeError "WebSocket is not connected"
  /// without a connection; a transport error while sending propagates as OSError.
  velmora::base::awaitable<void> send_raw(const Message& payload);
  velmora::base::awaitable<void> send_query(std::string query, QueryOptions options = {});
  velmora::base::awaitable<void> send_answer(std::string message_id, boost::json::object answers,
                                             std::string as_type = "ask_message");
  velmora::base::awaitable<void> send_interrupt();
  velmora::base::awaitable<void> send_terminate();

  // --- debug output (only when `config()->debug`) ---

  /// Routes debug output; an empty sink restores the default (standard output).
  void set_debug_sink(DebugSink sink);
  /// "[DEBUG][<direction>] <frame>"; a binary frame that is not UTF-8 shows as b'...'.
  void debug_print_raw(std::string_view direction, std::string_view frame,
                       bool binary = false) const;
  /// "[DEBUG][SESSION]" and the endpoint, user, thread, language and explicit flag.
  void debug_print_session_block() const;

  struct Impl;

 private:
  std::shared_ptr<Impl> impl_;
};

/// The client's inbound messages, first in first out. Lives inside the client's state.
class IncomingQueue {
 public:
  IncomingQueue(const IncomingQueue&) = delete;
  IncomingQueue& operator=(const IncomingQueue&) = delete;

  /// The next message, waiting for one. A cancelled `pop` takes nothing: a frame it was handed
  /// stays queued for the next one.
  velmora::base::awaitable<Incoming> pop();
  /// `pop` that ends with nothing instead of throwing when cancelled: a loop that is cancelled
  /// at every session's end returns without an exception unwinding through its frames.
  velmora::base::awaitable<std::optional<Incoming>> next();
  /// A message already received, or nothing; never reads.
  std::optional<Incoming> try_pop();
  /// Queues a message behind those received; wakes one waiting `pop` through the executor.
  void push(Incoming message);
  [[nodiscard]] std::size_t size() const noexcept;
  [[nodiscard]] bool empty() const noexcept;

 private:
  friend struct AgentWsV3Client::Impl;
  explicit IncomingQueue(AgentWsV3Client::Impl& owner) : owner_(owner) {}
  AgentWsV3Client::Impl& owner_;
};

}  // namespace wirelet
