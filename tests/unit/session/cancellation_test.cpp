#include "velmora/session_state.hpp"

#include <gtest/gtest.h>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/multiple_exceptions.hpp>
#include <boost/system/system_error.hpp>
#include <stdexcept>

#include "velmora/base/async.hpp"

namespace {

using namespace boost::asio::experimental::awaitable_operators;

/// Waits for either event and records how the wait ended.
velmora::base::awaitable<void> wait_for_either(velmora::base::Event& a, velmora::base::Event& b,
                                               std::exception_ptr& ended) {
  try {
    (void)co_await (a.wait() || b.wait());
  } catch (...) {
    ended = std::current_exception();
  }
}

velmora::base::awaitable<void> cancel_soon(velmora::base::Task& task) {
  co_await velmora::base::sleep_for(0.01);
  task.cancel();
  co_await task.join();
}

TEST(Cancellation, ARaceOfWaitsCancelledAsAWholeIsACancellation) {
  boost::asio::io_context io;
  velmora::base::Event a(io.get_executor());
  velmora::base::Event b(io.get_executor());
  std::exception_ptr ended;
  auto task = velmora::base::Task::spawn(io.get_executor(), wait_for_either(a, b, ended));
  boost::asio::co_spawn(io, cancel_soon(task), boost::asio::detached);
  io.run_for(std::chrono::seconds(10));
  ASSERT_TRUE(ended);
  try {
    std::rethrow_exception(ended);
  } catch (const std::exception& e) {
    EXPECT_TRUE(velmora::is_cancellation(e)) << e.what();
  }
}

TEST(Cancellation, OtherFailuresAreNot) {
  const auto aborted =
      std::make_exception_ptr(boost::system::system_error(boost::asio::error::operation_aborted));
  const auto reset =
      std::make_exception_ptr(boost::system::system_error(boost::asio::error::connection_reset));
  EXPECT_TRUE(velmora::is_cancellation(boost::asio::multiple_exceptions(aborted)));
  EXPECT_FALSE(velmora::is_cancellation(boost::asio::multiple_exceptions(reset)));
  EXPECT_FALSE(velmora::is_cancellation(boost::asio::multiple_exceptions(nullptr)));
  EXPECT_FALSE(velmora::is_cancellation(std::runtime_error("connection closed")));
}

}  // namespace
