#include "wirelet/client.hpp"

#include <cstdio>
#include <exception>
#include <utility>

#include <boost/system/system_error.hpp>

#include "transport.hpp"
#include "wirelet/errors.hpp"
#include "wirelet/json_text.hpp"

namespace wirelet {
namespace {

constexpr auto kUseTuple = net::as_tuple(net::use_awaitable);

void print_to_stdout(std::string_view text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

Message one_key_message(std::string_view type) {
  Message msg;
  msg["type"] = type;
  return msg;
}

awaitable<bool> is_cancelled() {
  const auto state = co_await net::this_coro::cancellation_state;
  co_return state.cancelled() != net::cancellation_type::none;
}

}  // namespace

/// One open websocket and the flag that silences its receive task.
struct Connection {
  std::unique_ptr<detail::Transport> transport;
  /// Set when close begins; from then on the receive task queues nothing.
  bool stopping = false;
};

struct AgentWsV3Client::Impl {
  Impl(const net::any_io_executor& ex, std::shared_ptr<WireletConfig> cfg)
      : executor(ex),
        config(std::move(cfg)),
        incoming(ex),
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
    } else {
      print_to_stdout(text);
    }
  }

  net::any_io_executor executor;
  std::shared_ptr<WireletConfig> config;
  AsyncQueue<Incoming> incoming;
  Event thread_id_ready;
  std::optional<std::string> requested_thread_id;
  /// Set by close, cleared by connect.
  bool closed = false;
  /// Set when the client object is destroyed; a connect still under way then drops its result.
  bool abandoned = false;
  /// Present from a successful connect until close.
  std::shared_ptr<Connection> connection;
  Task recv_task;
  DebugSink debug_sink;
  /// True while one sender owns the socket's write side; the others wait on `send_wake`.
  bool sending = false;
  net::steady_timer send_wake;
};

namespace {

using Impl = AgentWsV3Client::Impl;

// Releases the write side when a send ends in any way, waking the next sender.
struct SendTurn {
  explicit SendTurn(Impl& impl) : impl_(impl) {}
  SendTurn(const SendTurn&) = delete;
  SendTurn& operator=(const SendTurn&) = delete;
  ~SendTurn() {
    impl_.sending = false;
    impl_.send_wake.cancel();
  }

 private:
  Impl& impl_;
};

awaitable<void> wait_send_turn(Impl& impl) {
  while (impl.sending) {
    co_await impl.send_wake.async_wait(kUseTuple);
    co_await throw_if_cancelled();
  }
  impl.sending = true;
}

// The connection's end as the consumer learns of it, however it ended: the last message of the
// connection, made here only.
Incoming connection_ended(std::string text) {
  Message msg;
  msg["type"] = CONNECTION_ERROR_TYPE;
  msg["error_message"] = std::move(text);
  return {std::move(msg), Origin::client};
}

// Decodes frames into the incoming queue until close begins.
class QueueSink final : public detail::FrameSink {
 public:
  QueueSink(Impl& impl, const Connection& conn) : impl_(impl), conn_(conn) {}

  bool on_frame(std::string_view data, bool binary) override {
    if (conn_.stopping) return false;
    impl_.debug_print_raw("RECV", data, binary);
    auto message = decoder_.decode(data, binary);
    if (message) impl_.incoming.push(std::move(*message));  // nothing for a heartbeat
    return true;
  }

 private:
  Impl& impl_;
  const Connection& conn_;
  FrameDecoder decoder_;
};

awaitable<void> recv_loop(std::shared_ptr<Impl> self, std::shared_ptr<Connection> conn) {
  try {
    QueueSink sink(*self, *conn);
    const auto ec = co_await conn->transport->receive(sink);
    if (conn->stopping || !ec) co_return;
    // After every frame the connection delivered: the queue keeps their order.
    self->incoming.push(connection_ended(conn->transport->is_normal_close(ec)
                                             ? std::string("server closed the connection")
                                             : conn->transport->describe(ec)));
  } catch (const std::exception& e) {
    // Anything else that breaks receiving (a debug sink failing, memory) still ends the turn
    // through the queue rather than vanishing with the task.
    if (!conn->stopping) self->incoming.push(connection_ended(error_text_or_kind(e)));
  }
}

awaitable<void> send_raw_impl(std::shared_ptr<Impl> self, Message payload) {
  if (!self->connection) throw RuntimeError("WebSocket is not connected");
  const std::string text = json_dumps(payload);
  self->debug_print_raw("SEND", text, false);
  co_await wait_send_turn(*self);
  SendTurn turn(*self);
  const auto conn = self->connection;
  if (!conn) throw RuntimeError("WebSocket is not connected");
  if (conn->stopping) throw OSError("connection is closing");
  const auto ec = co_await conn->transport->write(text);
  if (ec) {
    if (ec == net::error::operation_aborted) co_await throw_if_cancelled();
    throw OSError(conn->transport->describe(ec), ec.value());
  }
}

awaitable<void> connect_impl(std::shared_ptr<Impl> self) {
  if (self->connection) co_return;
  self->closed = false;
  const auto& config = *self->config;
  // A URL that cannot be used will not improve by retrying.
  const WsEndpoint endpoint = parse_ws_endpoint(ws_url(config));
  const int limit = std::max(1, config.reconnect_attempts);
  std::exception_ptr last_error;
  for (int attempt = 1; attempt <= limit; ++attempt) {
    try {
      auto transport = co_await detail::open_transport(endpoint, config.connect_timeout_seconds);
      if (self->abandoned) {
        // The client went away during the attempt; nobody would ever read or close this one.
        transport->teardown();
        throw boost::system::system_error(net::error::operation_aborted);
      }
      auto conn = std::make_shared<Connection>();
      conn->transport = std::move(transport);
      self->connection = conn;
      self->recv_task = Task::spawn(self->executor, recv_loop(self, conn));
      if (self->config->debug) self->emit_debug(session_block_text(*self->config));
      co_return;
    } catch (const std::exception&) {
      last_error = std::current_exception();
    }
    if (self->abandoned || co_await is_cancelled()) std::rethrow_exception(last_error);
    if (attempt >= config.reconnect_attempts) break;
    co_await sleep_for(config.reconnect_backoff_seconds * attempt);
  }
  if (last_error) std::rethrow_exception(last_error);
  throw RuntimeError("Failed to connect to websocket endpoint");
}

awaitable<void> close_impl(std::shared_ptr<Impl> self, bool send_terminate) {
  if (self->closed) co_return;
  self->closed = true;
  if (send_terminate && self->connection) {
    try {
      co_await send_raw_impl(self, one_key_message("terminate"));
    } catch (const std::exception&) {
      // The peer may already be gone; closing goes on either way. Our own cancellation is not
      // an error of the send and is checked below.
    }
    if (co_await is_cancelled()) throw boost::system::system_error(net::error::operation_aborted);
  }
  const auto conn = self->connection;
  if (!conn) co_return;
  conn->stopping = true;
  // The handshake completes the receive task's pending read, so the task ends on its own.
  const auto ec = co_await conn->transport->close();
  conn->transport->teardown();
  co_await self->recv_task.join();
  self->connection.reset();
  if (ec) throw OSError(conn->transport->describe(ec), ec.value());
}

awaitable<void> reconnect_impl(std::shared_ptr<Impl> self, bool new_thread,
                               std::optional<std::string> thread_id) {
  co_await close_impl(self, false);
  auto& config = *self->config;
  if (thread_id) {
    config.thread_id = *thread_id;
    config.explicit_thread_id = true;
    self->requested_thread_id = *thread_id;
    self->thread_id_ready.set();
  } else if (new_thread) {
    config.thread_id = new_uuid4();
    config.explicit_thread_id = false;
    self->requested_thread_id = config.thread_id;
    self->thread_id_ready.set();
  }
  co_await connect_impl(self);
}

awaitable<std::string> wait_for_thread_id_impl(std::shared_ptr<Impl> self, double timeout_seconds) {
  const auto current = [&] { return self->config->thread_id.value_or(""); };
  if (!current().empty()) co_return current();
  if (!co_await self->thread_id_ready.wait_for(timeout_seconds)) {
    throw RuntimeError("Timed out waiting for thread_id from websocket metadata (" +
                           format_double(timeout_seconds) + "s)",
                       std::make_exception_ptr(TimeoutError("")));
  }
  if (current().empty()) throw RuntimeError("thread_id is still unavailable");
  co_return current();
}

}  // namespace

AgentWsV3Client::AgentWsV3Client(const net::any_io_executor& ex,
                                 std::shared_ptr<WireletConfig> config)
    : impl_(std::make_shared<Impl>(ex, std::move(config))) {
  if (impl_->config->thread_id && !impl_->config->thread_id->empty()) {
    impl_->thread_id_ready.set();
  }
}

AgentWsV3Client::~AgentWsV3Client() {
  impl_->abandoned = true;
  // Suspended operations keep the state alive; drop the socket so the receive task ends
  // instead of filling a queue nobody reads.
  if (impl_->connection) {
    impl_->connection->stopping = true;
    impl_->connection->transport->teardown();
  }
}

const std::shared_ptr<WireletConfig>& AgentWsV3Client::config() const noexcept {
  return impl_->config;
}

std::string AgentWsV3Client::thread_id() const { return impl_->config->thread_id.value_or(""); }

std::optional<std::string> AgentWsV3Client::requested_thread_id() const {
  return impl_->requested_thread_id;
}

bool AgentWsV3Client::explicit_thread_id() const noexcept {
  return impl_->config->explicit_thread_id;
}

AsyncQueue<Incoming>& AgentWsV3Client::incoming_queue() noexcept { return impl_->incoming; }

void AgentWsV3Client::set_thread_id(const std::string& thread_id) {
  if (thread_id.empty()) return;
  impl_->config->thread_id = thread_id;
  impl_->thread_id_ready.set();
}

SessionBindingUpdate AgentWsV3Client::bind_thread(const std::string& active,
                                                  std::optional<bool> is_new) {
  const auto requested = impl_->requested_thread_id;
  const bool explicit_id = impl_->config->explicit_thread_id;
  const bool overrode = explicit_id && requested && !requested->empty() && *requested != active;
  set_thread_id(active);
  return SessionBindingUpdate{
      .requested_thread_id = requested,
      .active_thread_id = active,
      .explicit_thread_id = explicit_id,
      .is_new = is_new,
      .server_overrode_requested_thread = overrode,
  };
}

awaitable<std::string> AgentWsV3Client::wait_for_thread_id(double timeout_seconds) {
  return wait_for_thread_id_impl(impl_, timeout_seconds);
}

std::string AgentWsV3Client::build_ws_url() const { return ws_url(*impl_->config); }

awaitable<void> AgentWsV3Client::connect() { return connect_impl(impl_); }

awaitable<void> AgentWsV3Client::reconnect(bool new_thread, std::optional<std::string> thread_id) {
  return reconnect_impl(impl_, new_thread, std::move(thread_id));
}

awaitable<void> AgentWsV3Client::close(bool send_terminate) {
  return close_impl(impl_, send_terminate);
}

bool AgentWsV3Client::is_connected() const noexcept { return impl_->connection != nullptr; }

bool AgentWsV3Client::receiving() const noexcept {
  return impl_->recv_task.valid() && !impl_->recv_task.done();
}

awaitable<void> AgentWsV3Client::send_raw(const Message& payload) {
  return send_raw_impl(impl_, payload);
}

awaitable<void> AgentWsV3Client::send_query(std::string query, QueryOptions options) {
  Message msg;
  msg["type"] = "query";
  msg["query"] = std::move(query);
  msg["user_id"] = impl_->config->user_id;
  msg["attachments"] = std::move(options.attachments);
  if (options.scenario && !options.scenario->empty()) msg["scenario"] = *options.scenario;
  if (options.config) msg["config"] = std::move(*options.config);
  if (options.system_prompt && !options.system_prompt->empty()) {
    msg["system_prompt"] = *options.system_prompt;
  }
  if (options.language && !options.language->empty()) msg["language"] = *options.language;
  return send_raw_impl(impl_, std::move(msg));
}

awaitable<void> AgentWsV3Client::send_answer(std::string message_id, boost::json::object answers,
                                             std::string as_type) {
  Message msg;
  msg["type"] = std::move(as_type);
  msg["message_id"] = std::move(message_id);
  msg["answers"] = std::move(answers);
  return send_raw_impl(impl_, std::move(msg));
}

awaitable<void> AgentWsV3Client::send_interrupt() {
  return send_raw_impl(impl_, one_key_message("interrupt"));
}

awaitable<void> AgentWsV3Client::send_terminate() {
  return send_raw_impl(impl_, one_key_message("terminate"));
}

void AgentWsV3Client::set_debug_sink(DebugSink sink) { impl_->debug_sink = std::move(sink); }

void AgentWsV3Client::debug_print_raw(std::string_view direction, std::string_view frame,
                                      bool binary) const {
  impl_->debug_print_raw(direction, frame, binary);
}

void AgentWsV3Client::debug_print_session_block() const {
  if (impl_->config->debug) impl_->emit_debug(session_block_text(*impl_->config));
}

}  // namespace wirelet
