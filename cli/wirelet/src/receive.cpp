// The receive path: each read's frame goes to a waiting `pop`, which decodes it in its own
// coroutine, or is decoded and queued when nobody waits; the connection's end is reported here.
#include <algorithm>
#include <exception>
#include <utility>

#include <boost/asio/associated_cancellation_slot.hpp>
#include <boost/asio/async_result.hpp>
#include <boost/asio/execution/outstanding_work.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/prefer.hpp>
#include <boost/asio/require.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/system/system_error.hpp>

#include "client_state.hpp"
#include "velmora/base/errors.hpp"

namespace wirelet {

using namespace velmora::base;

namespace {

using Impl = AgentWsV3Client::Impl;

// The connection's end as the consumer learns of it, however it ended: the last message of the
// connection, made here only.
Incoming connection_ended(std::string text) {
  Message msg;
  msg["type"] = CONNECTION_ERROR_TYPE;
  msg["error_message"] = std::move(text);
  return {std::move(msg), Origin::client};
}

void wake_one_later(Impl& impl) {
  if (auto waiter = impl.next_waiter()) {
    net::post(impl.executor,
              [waiter = std::shared_ptr<PopWaiter>(std::move(waiter))] { waiter->resume({}); });
  }
}

void queue_message(Impl& impl, Incoming message) {
  impl.items.push_back(std::move(message));
  wake_one_later(impl);
}

// The one place a connection's end becomes visible: a normal close, a drop or a receive error
// queues the single "_connection_error" message, after every frame the connection delivered.
void end_connection(Impl& impl, Connection& conn, std::string error_text,
                    bool normal_close = false) {
  conn.ended = true;
  if (conn.stopping) return;
  if (auto held = conn.decoder.finish()) queue_message(impl, std::move(*held));
  queue_message(impl, connection_ended(normal_close ? std::string("server closed the connection")
                                                    : std::move(error_text)));
}

// The message a frame carries (nothing for a heartbeat), after its debug line.
std::optional<Incoming> decode_frame_of(Impl& impl, Connection& conn, std::string_view data,
                                        bool binary) {
  impl.debug_print_raw("RECV", data, binary);
  return conn.decoder.decode(data, binary);
}

// Registers a waiting `pop`.
template <class Handler, class Work>
void add_waiter(Impl& impl, Handler handler, Work work) {
  auto slot = net::get_associated_cancellation_slot(handler);
  auto waiter = std::make_unique<velmora::base::detail::QueueWaiterFor<Handler, Work>>(
      std::move(handler), std::move(work));
  PopWaiter* raw = waiter.get();
  waiter->slot = slot;
  impl.waiters.push_back(std::move(waiter));
  if (slot.is_connected()) {
    slot.assign([&impl, raw](net::cancellation_type) {
      const auto it = std::find_if(impl.waiters.begin(), impl.waiters.end(),
                                   [raw](const auto& w) { return w.get() == raw; });
      if (it == impl.waiters.end()) return;
      std::shared_ptr<PopWaiter> held(std::move(*it));
      impl.waiters.erase(it);
      net::post(impl.executor, [held] { held->resume(net::error::operation_aborted); });
    });
  }
}

template <class Token>
auto wait_for_frame(Impl& impl, Token&& token) {
  return net::async_initiate<Token, void(boost::system::error_code)>(
      [&impl](auto handler) {
        // A waiter is registered for nearly every frame a consumer keeps up with: on a plain
        // io_context the typed executor counts the work without type-erased copies.
        using Untracked = net::io_context::executor_type;
        using Tracked = decltype(net::require(std::declval<Untracked>(),
                                              net::execution::outstanding_work.tracked));
        if (const auto* tracked = impl.executor.target<Tracked>()) {
          add_waiter(impl, std::move(handler), *tracked);
        } else if (const auto* io = impl.executor.target<Untracked>()) {
          add_waiter(impl, std::move(handler),
                     net::require(*io, net::execution::outstanding_work.tracked));
        } else {
          add_waiter(impl, std::move(handler),
                     net::prefer(impl.executor, net::execution::outstanding_work.tracked));
        }
      },
      token);
}

// Decodes the frame a read handed to this `pop`, then reads on. Nothing for a heartbeat, or when
// decoding ended the connection (its error is queued).
std::optional<Incoming> take_handed_frame(Impl& impl) {
  const auto conn = impl.connection;
  if (!conn || !conn->handed) return std::nullopt;
  const std::string_view data = *conn->handed;
  conn->handed.reset();
  std::optional<Incoming> message;
  try {
    message = decode_frame_of(impl, *conn, data, conn->handed_binary);
  } catch (const std::exception& e) {
    end_connection(impl, *conn, error_text_or_kind(e));
    return std::nullopt;
  }
  // A delta the decoder let go of comes first; the frame's own message is the next one popped.
  if (auto released = conn->decoder.take_released()) {
    if (message) {
      impl.items.push_front(std::move(*message));
      wake_one_later(impl);
    }
    message = std::move(released);
  }
  read_next(impl.shared_from_this(), *conn);
  return message;
}

}  // namespace

// A waiting `pop` is handed the frame and resumed at once, so it decodes the frame in its own
// coroutine; without one the frame is decoded and queued here. Either way the next read starts
// right after, so the connection is always being read.
void Receiver::on_frame(const boost::system::error_code& ec, std::string_view data,
                        bool binary) noexcept {
  Connection& conn = conn_;
  conn.reading = false;
  const auto self = impl.lock();
  if (conn.stopping || !self) return;
  Impl& state = *self;
  try {
    if (ec) {
      end_connection(state, conn, conn.transport->describe(ec),
                     conn.transport->is_normal_close(ec));
      return;
    }
    if (auto waiter = state.next_waiter()) {
      conn.handed = data;
      conn.handed_binary = binary;
      waiter->resume({});
      // The `pop` normally decodes it and reads on; one cancelled in between leaves it here.
      if (!conn.handed) return;
      conn.handed.reset();
      if (conn.stopping) return;
    }
    auto message = decode_frame_of(state, conn, data, binary);
    if (auto released = conn.decoder.take_released()) {
      queue_message(state, std::move(*released));
    }
    if (message) queue_message(state, std::move(*message));
    read_next(self, conn);
  } catch (const std::exception& e) {
    // Anything else that breaks receiving (a debug sink failing, memory) still ends the turn
    // through the queue rather than vanishing.
    end_connection(state, conn, error_text_or_kind(e));
  }
}

void read_next(const std::shared_ptr<Impl>& self, Connection& conn) {
  if (conn.reading || conn.ended || conn.stopping || self->connection.get() != &conn) return;
  conn.reading = true;
  if (conn.receiver.impl.expired()) conn.receiver.impl = self;
  conn.transport->start_read(std::shared_ptr<detail::FrameSink>(self->connection, &conn.receiver));
}

awaitable<std::optional<Incoming>> IncomingQueue::next() {
  Impl& impl = owner_;
  while (impl.items.empty()) {
    const auto [ec] = co_await wait_for_frame(impl, net::as_tuple(net::use_awaitable));
    // Cancelled while waiting, or the state is gone: `impl` may not be touched.
    if (ec) co_return std::nullopt;
    const auto state = co_await net::this_coro::cancellation_state;
    if (state.cancelled() != net::cancellation_type::none) {
      // Woken but cancelled before taking anything: a handed frame stays with the read, which
      // decodes and queues it; a queued message goes to the next waiter.
      if (!impl.items.empty()) wake_one_later(impl);
      co_return std::nullopt;
    }
    if (auto message = take_handed_frame(impl)) co_return message;
  }
  std::optional<Incoming> message(std::move(impl.items.front()));
  impl.items.pop_front();
  co_return message;
}

awaitable<Incoming> IncomingQueue::pop() {
  auto message = co_await next();
  if (!message) throw boost::system::system_error(net::error::operation_aborted);
  co_return std::move(*message);
}

std::optional<Incoming> IncomingQueue::try_pop() {
  if (owner_.items.empty()) return std::nullopt;
  Incoming message = std::move(owner_.items.front());
  owner_.items.pop_front();
  return message;
}

void IncomingQueue::push(Incoming message) { queue_message(owner_, std::move(message)); }

std::size_t IncomingQueue::size() const noexcept { return owner_.items.size(); }

bool IncomingQueue::empty() const noexcept { return owner_.items.empty(); }

}  // namespace wirelet
