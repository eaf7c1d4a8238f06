#include "velmora/completion_wait.hpp"

#include <gtest/gtest.h>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>

namespace {

namespace net = boost::asio;
using velmora::WaitOutcome;
using velmora::base::awaitable;

template <class F>
void run_loop(F body) {
  net::io_context io;
  std::exception_ptr failure;
  net::co_spawn(io, body(io.get_executor()), [&](std::exception_ptr e) { failure = e; });
  io.run();
  if (failure) std::rethrow_exception(failure);
}

awaitable<void> set_after(velmora::base::Event& event, double seconds) {
  co_await velmora::base::sleep_for(seconds);
  event.set();
}

TEST(OneShotDecisions, QueryAndIdleFinishResolution) {
  velmora::Options args;
  EXPECT_FALSE(velmora::is_one_shot_query(args));
  args.query = "  \t";
  EXPECT_FALSE(velmora::is_one_shot_query(args));
  args.query = " hi ";
  EXPECT_TRUE(velmora::is_one_shot_query(args));

  const struct {
    std::optional<double> given;
    double expected;
  } cases[] = {{std::nullopt, 0.0}, {0.0, 0.0}, {-3.0, 0.0}, {2.5, 2.5}};
  for (const auto& c : cases) {
    args.idle_finish_seconds = c.given;
    EXPECT_EQ(velmora::resolve_idle_finish_seconds(args, true), c.expected);
    EXPECT_EQ(velmora::resolve_idle_finish_seconds(args, false), c.expected);
  }
}

/// Waits with `options` (a named copy: g++ 12 destroys a temporary argument of a coroutine
/// call inside co_await twice).
awaitable<WaitOutcome> wait(velmora::base::Event& done, velmora::CompletionWaitOptions options) {
  auto outcome = co_await velmora::wait_for_query_completion(done, std::move(options));
  co_return outcome;
}

velmora::CompletionWaitOptions idle_options(double timeout, double idle, bool allow, bool activity,
                                            double last_activity) {
  return {.timeout_seconds = timeout,
          .idle_finish_seconds = idle,
          .allow_idle_finish = allow,
          .saw_completion_activity = [activity] { return activity; },
          .last_activity_at = [last_activity] { return last_activity; }};
}

TEST(WaitForQueryCompletion, CompletionWinsOverAnExpiredDeadline) {
  run_loop([](net::any_io_executor ex) -> awaitable<void> {
    velmora::base::Event done(ex);
    velmora::CompletionWaitOptions zero{.timeout_seconds = 0};
    EXPECT_EQ(co_await wait(done, zero), WaitOutcome::timeout);
    done.set();
    EXPECT_EQ(co_await wait(done, zero), WaitOutcome::completed);
    velmora::CompletionWaitOptions negative{.timeout_seconds = -5};
    EXPECT_EQ(co_await wait(done, negative), WaitOutcome::completed);
  });
}

TEST(WaitForQueryCompletion, ReturnsWhenTheTurnEndsBeforeTheDeadline) {
  run_loop([](net::any_io_executor ex) -> awaitable<void> {
    velmora::base::Event done(ex);
    velmora::base::Task::spawn(ex, set_after(done, 0.05));
    velmora::CompletionWaitOptions minute{.timeout_seconds = 60};
    EXPECT_EQ(co_await wait(done, minute), WaitOutcome::completed);
  });
}

TEST(WaitForQueryCompletion, IdleFinishNeedsActivityPermissionAndQuiet) {
  run_loop([](net::any_io_executor ex) -> awaitable<void> {
    velmora::base::Event done(ex);
    const double long_ago = velmora::base::monotonic_seconds() - 100;
    const struct {
      double idle;
      bool allow;
      bool activity;
      WaitOutcome expected;
    } cases[] = {
        // Quiet since long ago, activity seen, allowed: idle finish at the first check.
        {1, true, true, WaitOutcome::idle_finish},
        // No completion activity yet: only the deadline ends it.
        {0.01, true, false, WaitOutcome::timeout},
        // Not allowed (interactive), or disabled by 0: the deadline again.
        {0.01, false, true, WaitOutcome::timeout},
        {0.0, true, true, WaitOutcome::timeout},
    };
    for (const auto& c : cases) {
      const auto options = idle_options(0.3, c.idle, c.allow, c.activity, long_ago);
      EXPECT_EQ(co_await wait(done, options), c.expected) << c.idle << c.allow << c.activity;
    }
  });
}

TEST(WaitForQueryCompletion, IdleFinishCountsFromTheLatestActivity) {
  run_loop([](net::any_io_executor ex) -> awaitable<void> {
    velmora::base::Event done(ex);
    const double start = velmora::base::monotonic_seconds();
    double last = start;
    // Activity keeps arriving for a while; the idle period counts from the last one.
    velmora::CompletionWaitOptions options{.timeout_seconds = 60,
                                           .idle_finish_seconds = 0.3,
                                           .allow_idle_finish = true,
                                           .saw_completion_activity = [] { return true; },
                                           .last_activity_at =
                                               [&last, start] {
                                                 const double now =
                                                     velmora::base::monotonic_seconds();
                                                 if (now - start < 0.6) last = now;
                                                 return last;
                                               }};
    EXPECT_EQ(co_await wait(done, options), WaitOutcome::idle_finish);
    EXPECT_GE(velmora::base::monotonic_seconds() - start, 0.9);
  });
}

TEST(WaitForInteractiveTurnCompletion, EitherEventEndsTheWait) {
  run_loop([](net::any_io_executor ex) -> awaitable<void> {
    velmora::base::Event done(ex);
    velmora::base::Event stop(ex);
    velmora::base::Task::spawn(ex, set_after(stop, 0.02));
    co_await velmora::wait_for_interactive_turn_completion(done, stop);
    EXPECT_TRUE(stop.is_set());
    stop.clear();
    velmora::base::Task::spawn(ex, set_after(done, 0.02));
    co_await velmora::wait_for_interactive_turn_completion(done, stop);
    EXPECT_TRUE(done.is_set());
  });
}

}  // namespace
