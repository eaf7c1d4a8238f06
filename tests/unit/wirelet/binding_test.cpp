#include "wirelet/client.hpp"

#include <gtest/gtest.h>

#include <boost/json.hpp>

#include "loop_runner.hpp"
#include "velmora/base/errors.hpp"

namespace {

using velmora::base::awaitable;
using wirelet::AgentWsV3Client;
using wirelet::SessionBindingUpdate;
using wirelet::WireletConfig;
using wirelet_test::run_loop;
namespace net = boost::asio;

std::shared_ptr<WireletConfig> config_with(std::optional<std::string> thread_id, bool explicit_id) {
  auto cfg = std::make_shared<WireletConfig>(
      WireletConfig{.base_url = "ws://127.0.0.1:1/v3", .user_id = "u", .user_token = "t"});
  cfg->thread_id = std::move(thread_id);
  cfg->explicit_thread_id = explicit_id;
  return cfg;
}

TEST(BindThread, LatestBindingWins) {
  net::io_context io;
  AgentWsV3Client client(io.get_executor(), config_with("A", true));
  (void)client.bind_thread("B", std::nullopt);
  const auto second = client.bind_thread("C", true);
  EXPECT_EQ(second.requested_thread_id, "A");
  EXPECT_EQ(second.is_new, true);
  EXPECT_TRUE(second.server_overrode_requested_thread);
  EXPECT_EQ(client.thread_id(), "C");
}

TEST(SetThreadId, EmptyIsIgnored) {
  net::io_context io;
  auto cfg = config_with("A", false);
  AgentWsV3Client client(io.get_executor(), cfg);
  client.set_thread_id("");
  EXPECT_EQ(client.thread_id(), "A");
  client.set_thread_id("B");
  EXPECT_EQ(cfg->thread_id, "B");
  EXPECT_EQ(client.requested_thread_id(), "A");
  EXPECT_FALSE(client.explicit_thread_id());
}

TEST(WaitForThreadId, ReturnsKnownThreadAtOnce) {
  run_loop([](net::any_io_executor ex) -> awaitable<void> {
    AgentWsV3Client client(ex, config_with("t", false));
    EXPECT_EQ(client.thread_id(), "t");
    const double started = velmora::base::monotonic_seconds();
    EXPECT_EQ(co_await client.wait_for_thread_id(30), "t");
    EXPECT_LT(velmora::base::monotonic_seconds() - started, 10.0);
  });
}

awaitable<void> bind_later(AgentWsV3Client& client) {
  co_await velmora::base::sleep_for(0.02);
  (void)client.bind_thread("srv", std::nullopt);
}

TEST(WaitForThreadId, WakesWhenTheServerBindsAThread) {
  run_loop([](net::any_io_executor ex) -> awaitable<void> {
    AgentWsV3Client client(ex, config_with(std::nullopt, false));
    EXPECT_EQ(client.thread_id(), "");
    auto binder = velmora::base::Task::spawn(ex, bind_later(client));
    EXPECT_EQ(co_await client.wait_for_thread_id(30), "srv");
    co_await binder.join();
  });
}

TEST(WaitForThreadId, TimesOutWithTheLimitInTheMessage) {
  run_loop([](net::any_io_executor ex) -> awaitable<void> {
    AgentWsV3Client client(ex, config_with(std::nullopt, false));
    const double started = velmora::base::monotonic_seconds();
    try {
      (void)co_await client.wait_for_thread_id(1);
      ADD_FAILURE() << "no time-out";
    } catch (const velmora::base::RuntimeError& e) {
      EXPECT_STREQ(e.what(), "Timed out waiting for thread_id from websocket metadata (1.0s)");
      bool cause_is_timeout = false;
      try {
        std::rethrow_exception(e.cause());
      } catch (const velmora::base::TimeoutError&) {
        cause_is_timeout = true;
      } catch (...) {
      }
      EXPECT_TRUE(cause_is_timeout);
    }
    EXPECT_GE(velmora::base::monotonic_seconds() - started, 0.9);
  });
}

}  // namespace
