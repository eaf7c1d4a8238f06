#include "velmora/base/async.hpp"

#include <gtest/gtest.h>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/system/system_error.hpp>

#include <optional>
#include <thread>
#include <vector>

namespace {

namespace net = boost::asio;
using velmora::base::awaitable;

// Runs `body` to its end on a fresh loop.
// Coroutine lambdas below capture nothing: a capturing lambda temporary dies before its
// coroutine resumes. State is passed as parameters instead.
awaitable<void> set_later(velmora::base::Event& event) {
  co_await velmora::base::sleep_for(0.01);
  event.set();
}

awaitable<void> pop_one(velmora::base::AsyncQueue<int>& queue) { (void)co_await queue.pop(); }

template <class F>
void run_loop(F body) {
  net::io_context io;
  std::exception_ptr failure;
  net::co_spawn(io, body(io.get_executor()), [&](std::exception_ptr e) { failure = e; });
  io.run();
  if (failure) std::rethrow_exception(failure);
}

TEST(Event, WaitReturnsOnceSetAndWaitForTimesOut) {
  run_loop([](net::any_io_executor ex) -> awaitable<void> {
    velmora::base::Event event(ex);
    EXPECT_FALSE(co_await event.wait_for(0.05));
    velmora::base::Task::spawn(ex, set_later(event));
    co_await event.wait();
    EXPECT_TRUE(event.is_set());
    EXPECT_TRUE(co_await event.wait_for(0));
    event.clear();
    EXPECT_FALSE(event.is_set());
  });
}

// Counts once its wait ends: when the event is set or, with a `limit`, when that time passes.
awaitable<void> wait_and_count(velmora::base::Event& event, int& woken,
                               std::optional<double> limit = std::nullopt) {
  if (limit) {
    (void)co_await event.wait_for(*limit);
  } else {
    co_await event.wait();
  }
  ++woken;
}

// The time limit of `wait_for` does not throw when cancelled; the wait as a whole still must,
// or a cancelled caller would carry on as if the time had passed.
TEST(Event, CancelledWaitForEndsTheTaskInsteadOfTimingOut) {
  run_loop([](net::any_io_executor ex) -> awaitable<void> {
    velmora::base::Event event(ex);
    int after = 0;
    auto waiter = velmora::base::Task::spawn(ex, wait_and_count(event, after, 30.0));
    co_await velmora::base::sleep_for(0.01);
    waiter.cancel();
    co_await waiter.join();
    EXPECT_TRUE(waiter.cancelled());
    EXPECT_EQ(after, 0);
  });
}

TEST(Event, SetWakesEveryWaiterEvenWhenClearedAtOnce) {
  run_loop([](net::any_io_executor ex) -> awaitable<void> {
    velmora::base::Event event(ex);
    int woken = 0;
    auto first = velmora::base::Task::spawn(ex, wait_and_count(event, woken));
    auto second = velmora::base::Task::spawn(ex, wait_and_count(event, woken));
    co_await velmora::base::sleep_for(0.01);
    event.set();
    event.clear();
    co_await first.join();
    co_await second.join();
    EXPECT_EQ(woken, 2);
    EXPECT_FALSE(event.is_set());
  });
}

TEST(AsyncQueue, PopsInOrderAndCancelledPopTakesNothing) {
  run_loop([](net::any_io_executor ex) -> awaitable<void> {
    velmora::base::AsyncQueue<int> queue(ex);
    auto waiter = velmora::base::Task::spawn(ex, pop_one(queue));
    co_await velmora::base::sleep_for(0.01);
    waiter.cancel();
    co_await waiter.join();
    EXPECT_TRUE(waiter.cancelled());
    queue.push(1);
    queue.push(2);
    EXPECT_EQ(queue.size(), 2u);
    EXPECT_EQ(co_await queue.pop(), 1);
    EXPECT_EQ(co_await queue.pop(), 2);
  });
}

awaitable<void> pop_into(velmora::base::AsyncQueue<int>& queue, std::vector<int>& got) {
  got.push_back(co_await queue.pop());
}

TEST(AsyncQueue, WaitersAreServedInOrderAndACancelledOneHandsItsItemOn) {
  run_loop([](net::any_io_executor ex) -> awaitable<void> {
    velmora::base::AsyncQueue<int> queue(ex);
    std::vector<int> first, second, third;
    auto a = velmora::base::Task::spawn(ex, pop_into(queue, first));
    auto b = velmora::base::Task::spawn(ex, pop_into(queue, second));
    auto c = velmora::base::Task::spawn(ex, pop_into(queue, third));
    co_await velmora::base::sleep_for(0.01);
    queue.push(1);  // wakes a...
    a.cancel();     // ...which is cancelled before it runs: b must get the item
    co_await a.join();
    co_await b.join();
    queue.push(2);
    co_await c.join();
    EXPECT_TRUE(a.cancelled());
    EXPECT_TRUE(first.empty());
    EXPECT_EQ(second, std::vector<int>{1});
    EXPECT_EQ(third, std::vector<int>{2});
    EXPECT_TRUE(queue.empty());
  });
}

awaitable<void> pop_from_owned(std::unique_ptr<velmora::base::AsyncQueue<int>>& queue) {
  (void)co_await queue->pop();
}

TEST(AsyncQueue, DestroyingItEndsAWaitingPopWithOperationAborted) {
  run_loop([](net::any_io_executor ex) -> awaitable<void> {
    auto queue = std::make_unique<velmora::base::AsyncQueue<int>>(ex);
    auto waiter = velmora::base::Task::spawn(ex, pop_from_owned(queue));
    co_await velmora::base::sleep_for(0.01);
    queue.reset();
    co_await waiter.join();
    EXPECT_FALSE(waiter.cancelled());
    bool aborted = false;
    try {
      std::rethrow_exception(waiter.error());
    } catch (const boost::system::system_error& e) {
      aborted = e.code() == net::error::operation_aborted;
    } catch (...) {
    }
    EXPECT_TRUE(aborted);
  });
}

TEST(Task, ReportsErrorWithoutRethrowingOnJoin) {
  run_loop([](net::any_io_executor ex) -> awaitable<void> {
    auto task = velmora::base::Task::spawn(ex, []() -> awaitable<void> {
      co_await velmora::base::sleep_for(0);
      throw std::runtime_error("boom");
    }());
    co_await task.join();
    EXPECT_TRUE(task.done());
    EXPECT_FALSE(task.cancelled());
    EXPECT_TRUE(task.error());
    task.cancel();  // finished: no effect
  });
}

TEST(RunBlocking, ResumesWithResultOrErrorAndAbandonsOnCancel) {
  run_loop([](net::any_io_executor ex) -> awaitable<void> {
    const auto caller = std::this_thread::get_id();
    const int value = co_await velmora::base::run_blocking([] { return 42; });
    EXPECT_EQ(value, 42);
    EXPECT_EQ(std::this_thread::get_id(), caller);
    EXPECT_THROW(co_await velmora::base::run_blocking([]() -> int { throw std::logic_error("x"); }),
                 std::logic_error);

    auto slow = velmora::base::Task::spawn(ex, []() -> awaitable<void> {
      co_await velmora::base::run_blocking(
          [] { std::this_thread::sleep_for(std::chrono::milliseconds(300)); });
    }());
    co_await velmora::base::sleep_for(0.02);
    slow.cancel();
    co_await slow.join();
    EXPECT_TRUE(slow.cancelled());
  });
}

}  // namespace
