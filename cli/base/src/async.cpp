#include "velmora/base/async.hpp"

#include <pthread.h>
#include <signal.h>

#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/system/system_error.hpp>

#include "velmora/base/within.hpp"

namespace velmora::base {
namespace {

constexpr auto NEVER = std::chrono::steady_clock::time_point::max();

bool is_operation_aborted(const std::exception_ptr& e) {
  try {
    std::rethrow_exception(e);
  } catch (const boost::system::system_error& err) {
    return err.code() == net::error::operation_aborted;
  } catch (...) {
    return false;
  }
}

}  // namespace

double monotonic_seconds() noexcept {
  using namespace std::chrono;
  return duration<double>(steady_clock::now().time_since_epoch()).count();
}

std::chrono::steady_clock::duration seconds_to_duration(double seconds) noexcept {
  using namespace std::chrono;
  if (!(seconds > 0)) return steady_clock::duration::zero();
  // Far beyond any session; keeps the conversion from overflowing.
  if (seconds > 1e12) seconds = 1e12;
  return duration_cast<steady_clock::duration>(duration<double>(seconds));
}

awaitable<void> sleep_for(double seconds) {
  net::steady_timer timer(co_await net::this_coro::executor, seconds_to_duration(seconds));
  co_await timer.async_wait(net::use_awaitable);
}

awaitable<bool> time_limit(double seconds) {
  net::steady_timer timer(co_await net::this_coro::executor, seconds_to_duration(seconds));
  const auto [ec] = co_await timer.async_wait(net::as_tuple(net::use_awaitable));
  co_return !ec;
}

awaitable<void> throw_if_cancelled() {
  const auto state = co_await net::this_coro::cancellation_state;
  if (state.cancelled() != net::cancellation_type::none) {
    throw boost::system::system_error(net::error::operation_aborted);
  }
}

Event::Event(const net::any_io_executor& ex) : wake_(ex, NEVER) {}

void Event::set() {
  set_ = true;
  ++generation_;
  wake_.cancel();
}

awaitable<void> Event::wait() {
  const std::uint64_t seen = generation_;
  while (!set_ && generation_ == seen) {
    co_await wake_.async_wait(net::as_tuple(net::use_awaitable));
    co_await throw_if_cancelled();
  }
}

awaitable<bool> Event::wait_for(double seconds) {
  if (set_) co_return true;
  const bool woken = co_await within(seconds, wait());
  co_return woken || set_;
}

struct Task::State {
  explicit State(const net::any_io_executor& ex) : finished(ex, NEVER) {}
  net::cancellation_signal signal;
  /// Never expires; cancelled once when the coroutine ends, waking joiners.
  net::steady_timer finished;
  bool done = false;
  bool cancel_requested = false;
  bool was_cancelled = false;
  std::exception_ptr error;
};

Task Task::spawn(const net::any_io_executor& ex, awaitable<void> body) {
  Task task;
  task.state_ = std::make_shared<State>(ex);
  auto state = task.state_;
  net::co_spawn(ex, std::move(body),
                net::bind_cancellation_slot(state->signal.slot(), [state](std::exception_ptr e) {
                  state->done = true;
                  if (e) {
                    if (state->cancel_requested && is_operation_aborted(e)) {
                      state->was_cancelled = true;
                    } else {
                      state->error = e;
                    }
                  }
                  state->finished.cancel();
                }));
  return task;
}

void Task::cancel() {
  if (!state_ || state_->done) return;
  state_->cancel_requested = true;
  state_->signal.emit(net::cancellation_type::terminal);
}

bool Task::done() const noexcept { return state_ && state_->done; }
bool Task::cancelled() const noexcept { return state_ && state_->was_cancelled; }
std::exception_ptr Task::error() const noexcept { return state_ ? state_->error : nullptr; }

awaitable<void> Task::join() const {
  if (!state_) co_return;
  auto state = state_;
  while (!state->done) {
    co_await state->finished.async_wait(net::as_tuple(net::use_awaitable));
    co_await throw_if_cancelled();
  }
}

net::thread_pool& worker_pool() {
  // Leaked on purpose: joining at exit would wait for a worker blocked on standard input.
  static auto* pool = [] {
    // Threads inherit the signal mask of the thread that starts them; with SIGINT blocked
    // there, Ctrl+C always reaches the event loop and never breaks a worker's blocked read of
    // standard input with EINTR. Started on first use: a run that needs no worker starts none.
    sigset_t block;
    sigset_t previous;
    sigemptyset(&block);
    sigaddset(&block, SIGINT);
    pthread_sigmask(SIG_BLOCK, &block, &previous);
    auto* started = new net::thread_pool(4);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return started;
  }();
  return *pool;
}

}  // namespace velmora::base
