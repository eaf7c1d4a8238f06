// Async primitives for code that runs on one `io_context` thread with C++20 coroutines.
//
// Threading: every member runs on the event-loop thread, except that `run_blocking` moves its
// function to a worker thread and resumes the caller on its own executor. No locks are needed
// by callers.
//
// Cancellation: a coroutine cancelled while it waits (through `Task::cancel` or an awaitable
// operator race) resumes with `boost::system::system_error(operation_aborted)`; every object
// below is left consistent (a cancelled `pop` takes nothing off the queue).
//
//   velmora::base::Event ready(ex);
//   auto task = velmora::base::Task::spawn(ex, worker(ready));
//   co_await ready.wait_for(2.0);   // false after two quiet seconds
//   task.cancel();
//   co_await task.join();
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <type_traits>
#include <utility>
#include <variant>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/as_tuple.hpp>
#include <boost/asio/associated_cancellation_slot.hpp>
#include <boost/asio/async_result.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/execution/outstanding_work.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/prefer.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/thread_pool.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/system/system_error.hpp>

namespace velmora::base {

namespace net = boost::asio;

template <class T>
using awaitable = net::awaitable<T>;

/// Seconds on the monotonic clock (the "loop time" of session state).
[[nodiscard]] double monotonic_seconds() noexcept;

/// A duration from seconds; negative values become zero.
[[nodiscard]] std::chrono::steady_clock::duration seconds_to_duration(double seconds) noexcept;

/// Suspends for `seconds` (at least zero). Throws operation_aborted when cancelled.
awaitable<void> sleep_for(double seconds);

/// Throws operation_aborted when the current coroutine has been asked to stop.
awaitable<void> throw_if_cancelled();

/// A flag coroutines can wait on. Once set it stays set until `clear`. A `set` wakes every
/// waiter present at that moment, even when `clear` follows before they resume.
class Event {
 public:
  explicit Event(const net::any_io_executor& ex);
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;

  void set();
  void clear() noexcept { set_ = false; }
  [[nodiscard]] bool is_set() const noexcept { return set_; }

  /// Returns when the event is set.
  awaitable<void> wait();
  /// True when the event is set within `seconds`, false when the time passed first.
  awaitable<bool> wait_for(double seconds);

 private:
  bool set_ = false;
  /// Counts `set` calls, so a waiter sees a set that a `clear` already undid.
  std::uint64_t generation_ = 0;
  /// Never expires; `cancel()` wakes every waiter, which then re-checks `set_`.
  net::steady_timer wake_;
};

namespace detail {

/// One suspended `AsyncQueue::pop`; its completion handler lives in the derived type, so a wait
/// costs a single allocation.
struct QueueWaiter {
  virtual ~QueueWaiter() = default;
  /// Runs the handler (on the loop); called at most once.
  virtual void resume(boost::system::error_code ec) = 0;
  /// False once a resumption is on its way; a second cancellation then does nothing.
  bool waiting = true;
  net::cancellation_slot slot;
};

/// `Work` is the executor that counts the wait as outstanding work; a typed one (an
/// `io_context`'s) saves the type-erased copy on paths that wait once per item.
template <class Handler, class Work = net::any_io_executor>
struct QueueWaiterFor final : QueueWaiter {
  QueueWaiterFor(Handler h, Work w) : handler(std::move(h)), work(std::move(w)) {}
  void resume(boost::system::error_code ec) override { std::move(handler)(ec); }
  Handler handler;
  /// Counts as outstanding work, so the loop keeps running while the `pop` waits.
  Work work;
};

}  // namespace detail

/// Unbounded first-in first-out queue: `push` never waits, `pop` waits for an item. Each
/// `push` resumes one waiting `pop` through the executor, without timers or system calls.
template <class T>
class AsyncQueue {
 public:
  explicit AsyncQueue(const net::any_io_executor& ex) : executor_(ex) {}
  AsyncQueue(const AsyncQueue&) = delete;
  AsyncQueue& operator=(const AsyncQueue&) = delete;
  /// Waiting `pop` calls end with operation_aborted, like reads on a destroyed socket.
  ~AsyncQueue() {
    for (auto& waiter : waiters_) {
      waiter->slot.clear();
      resume(std::move(waiter), net::error::operation_aborted);
    }
  }

  void push(T item) {
    items_.push_back(std::move(item));
    wake_one();
  }

  awaitable<T> pop() {
    while (items_.empty()) {
      const auto [ec] = co_await wait_for_item(net::as_tuple(net::use_awaitable));
      // Cancelled while waiting, or the queue is gone: `this` may not be touched.
      if (ec) throw boost::system::system_error(net::error::operation_aborted);
      const auto state = co_await net::this_coro::cancellation_state;
      if (state.cancelled() != net::cancellation_type::none) {
        // Woken for an item but cancelled before taking it: pass the item on.
        if (!items_.empty()) wake_one();
        throw boost::system::system_error(net::error::operation_aborted);
      }
    }
    T item = std::move(items_.front());
    items_.pop_front();
    co_return item;
  }

  std::optional<T> try_pop() {
    if (items_.empty()) return std::nullopt;
    T item = std::move(items_.front());
    items_.pop_front();
    return item;
  }

  [[nodiscard]] std::size_t size() const noexcept { return items_.size(); }
  [[nodiscard]] bool empty() const noexcept { return items_.empty(); }
  void clear() noexcept { items_.clear(); }

 private:
  template <class Token>
  auto wait_for_item(Token&& token) {
    return net::async_initiate<Token, void(boost::system::error_code)>(
        [this](auto handler) {
          auto slot = net::get_associated_cancellation_slot(handler);
          auto waiter = std::make_shared<detail::QueueWaiterFor<decltype(handler)>>(
              std::move(handler), net::prefer(executor_, net::execution::outstanding_work.tracked));
          waiter->slot = slot;
          waiters_.push_back(waiter);
          if (slot.is_connected()) {
            slot.assign([this, waiter = waiter.get()](net::cancellation_type) {
              if (!waiter->waiting) return;
              const auto it = std::find_if(waiters_.begin(), waiters_.end(),
                                           [waiter](const auto& w) { return w.get() == waiter; });
              if (it == waiters_.end()) return;
              auto held = *it;
              waiters_.erase(it);
              resume(std::move(held), net::error::operation_aborted);
            });
          }
        },
        token);
  }

  void wake_one() {
    if (waiters_.empty()) return;
    auto waiter = std::move(waiters_.front());
    waiters_.pop_front();
    waiter->slot.clear();
    resume(std::move(waiter), {});
  }

  // Waiters run on the queue's own loop (one thread), so its executor is theirs.
  void resume(std::shared_ptr<detail::QueueWaiter> waiter, boost::system::error_code ec) {
    waiter->waiting = false;
    net::post(executor_, [waiter = std::move(waiter), ec] { waiter->resume(ec); });
  }

  net::any_io_executor executor_;
  std::deque<T> items_;
  /// Suspended `pop` calls, oldest first; each leaves the list when it is resumed.
  std::deque<std::shared_ptr<detail::QueueWaiter>> waiters_;
};

/// A spawned coroutine that can be cancelled and joined. Copies share
/// one task. Dropping every handle leaves the coroutine running.
class Task {
 public:
  Task() = default;

  /// Starts `body` on `ex`; called on the loop thread, the body runs at once up to its first
  /// suspension, before `spawn` returns.
  static Task spawn(const net::any_io_executor& ex, awaitable<void> body);

  /// Asks the coroutine to stop (terminal cancellation). No effect once it has finished.
  void cancel();
  [[nodiscard]] bool valid() const noexcept { return state_ != nullptr; }
  [[nodiscard]] bool done() const noexcept;
  /// True when the task ended by cancellation.
  [[nodiscard]] bool cancelled() const noexcept;
  /// The exception the task ended with (not its cancellation), or null.
  [[nodiscard]] std::exception_ptr error() const noexcept;

  /// Waits until the task has finished. Never rethrows the task's own error; throws
  /// operation_aborted only when the joining coroutine itself is cancelled.
  awaitable<void> join() const;

 private:
  struct State;
  std::shared_ptr<State> state_;
};

/// The worker threads of `run_blocking`; created on first use and never destroyed, so a worker
/// blocked in a read never holds up process exit.
net::thread_pool& worker_pool();

namespace detail {

template <class R>
struct BlockingShared {
  using Stored = std::conditional_t<std::is_void_v<R>, std::monostate, R>;
  std::mutex mutex;
  /// Set on the loop thread when the waiting coroutine is gone or cancelled; guarded by mutex.
  bool abandoned = false;
  bool done = false;
  std::optional<Stored> value;
  std::exception_ptr error;
  net::any_io_executor executor;
  /// Points into the waiting coroutine's frame; valid while !abandoned.
  net::steady_timer* wake = nullptr;
};

template <class R>
struct AbandonOnExit {
  std::shared_ptr<BlockingShared<R>> shared;
  ~AbandonOnExit() {
    std::lock_guard lock(shared->mutex);
    shared->abandoned = true;
  }
};

}  // namespace detail

/// Runs `fn` on a worker thread and resumes on the caller's executor with its result (or its
/// exception). Pass a named function object (`std::move(job)`): g++ 12 destroys a capturing
/// lambda temporary written inside the `co_await` operand twice. When the caller is cancelled it
/// resumes at once with operation_aborted; `fn` still runs to its end in the background and its
/// result is dropped.
template <class F>
auto run_blocking(F fn) -> awaitable<std::invoke_result_t<F&>> {
  using R = std::invoke_result_t<F&>;
  using Shared = detail::BlockingShared<R>;
  auto ex = co_await net::this_coro::executor;
  net::steady_timer wake(ex, std::chrono::steady_clock::time_point::max());
  auto shared = std::make_shared<Shared>();
  shared->executor = ex;
  shared->wake = &wake;
  detail::AbandonOnExit<R> guard{shared};

  net::post(worker_pool(), [shared, fn = std::move(fn)]() mutable {
    try {
      if constexpr (std::is_void_v<R>) {
        fn();
        shared->value.emplace();
      } else {
        shared->value.emplace(fn());
      }
    } catch (...) {
      shared->error = std::current_exception();
    }
    std::lock_guard lock(shared->mutex);
    if (shared->abandoned) return;
    net::post(shared->executor, [shared] {
      std::lock_guard inner(shared->mutex);
      if (shared->abandoned) return;
      shared->done = true;
      shared->wake->cancel();
    });
  });

  while (true) {
    {
      std::lock_guard lock(shared->mutex);
      if (shared->done) break;
    }
    co_await wake.async_wait(net::as_tuple(net::use_awaitable));
    co_await throw_if_cancelled();
  }
  // Taken out of the shared state so the exception is freed on the thread that handles it: a
  // worker dropping the state last would free it ordered only by the C++ runtime's reference
  // count, which the thread sanitizer cannot see.
  if (auto error = std::exchange(shared->error, nullptr)) std::rethrow_exception(error);
  if constexpr (!std::is_void_v<R>) co_return std::move(*shared->value);
}

}  // namespace velmora::base
