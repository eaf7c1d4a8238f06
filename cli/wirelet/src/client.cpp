#include "wirelet/client.hpp"

#include <cstdio>
#include <exception>
#include <utility>

#include <boost/system/system_error.hpp>

#include "client_state.hpp"
#include "transport.hpp"
#include "velmora/base/errors.hpp"
#include "velmora/base/json_text.hpp"
#include "velmora/base/strings.hpp"

namespace wirelet {

using namespace velmora::base;

namespace {

constexpr auto USE_TUPLE = net::as_tuple(net::use_awaitable);

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
    co_await impl.send_wake.async_wait(USE_TUPLE);
    co_await throw_if_cancelled();
  }
  impl.sending = true;
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
  // Nor will a missing trust store.
  const auto tls_context = detail::tls_context_for(endpoint);
  const int limit = std::max(1, config.reconnect_attempts);
  std::exception_ptr last_error;
  for (int attempt = 1; attempt <= limit; ++attempt) {
    try {
      auto transport =
          co_await detail::open_transport(endpoint, tls_context, config.connect_timeout_seconds);
      if (self->abandoned) {
        // The client went away during the attempt; nobody would ever read or close this one.
        transport->teardown();
        throw boost::system::system_error(net::error::operation_aborted);
      }
      auto conn = std::make_shared<Connection>();
      conn->transport = std::move(transport);
      self->connection = conn;
      read_next(self, *conn);
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
  // The handshake completes the pending read, whose outcome is then dropped.
  const auto ec = co_await conn->transport->close();
  conn->transport->teardown();
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
  // Suspended operations keep the state alive; drop the socket so reading ends instead of
  // filling a queue nobody reads.
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

IncomingQueue& AgentWsV3Client::incoming_queue() noexcept { return impl_->incoming; }

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
  const auto& conn = impl_->connection;
  return conn != nullptr && !conn->ended && !conn->stopping;
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
