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

TEST(ApplyMetadata, BindsServerThreadAndReportsOverrides) {
  struct Case {
    const char* name;
    std::optional<std::string> requested;
    bool explicit_id;
    const char* payload;
    std::optional<SessionBindingUpdate> expected;
  };
  const Case cases[] = {
      {"explicit A, server B", "A", true,
       R"({"type": "metadata", "thread_id": "B", "is_new": true})",
       SessionBindingUpdate{"A", "B", true, true, true}},
      {"non-explicit A, server B", "A", false, R"({"thread_id": "B", "is_new": false})",
       SessionBindingUpdate{"A", "B", false, false, false}},
      {"nothing requested", std::nullopt, true, R"({"thread_id": "B"})",
       SessionBindingUpdate{std::nullopt, "B", true, std::nullopt, false}},
      {"server keeps A", "A", true, R"({"thread_id": "A", "is_new": false})",
       SessionBindingUpdate{"A", "A", true, false, false}},
      {"case differs", "a", true, R"({"thread_id": "A"})",
       SessionBindingUpdate{"a", "A", true, std::nullopt, true}},
      {"spaces stripped", std::nullopt, false, R"({"thread_id": "  t1 "})",
       SessionBindingUpdate{std::nullopt, "t1", false, std::nullopt, false}},
      {"number", std::nullopt, false, R"({"thread_id": 42})",
       SessionBindingUpdate{std::nullopt, "42", false, std::nullopt, false}},
      {"is_new text", std::nullopt, false, R"({"thread_id": "t", "is_new": "yes"})",
       SessionBindingUpdate{std::nullopt, "t", false, std::nullopt, false}},
      {"is_new number", std::nullopt, false, R"({"thread_id": "t", "is_new": 1})",
       SessionBindingUpdate{std::nullopt, "t", false, std::nullopt, false}},
      {"is_new null", std::nullopt, false, R"({"thread_id": "t", "is_new": null})",
       SessionBindingUpdate{std::nullopt, "t", false, std::nullopt, false}},
      {"empty", "A", true, R"({"thread_id": ""})", std::nullopt},
      {"blank", "A", true, R"({"thread_id": "   "})", std::nullopt},
      {"missing", "A", true, R"({"type": "metadata"})", std::nullopt},
      {"null", "A", true, R"({"thread_id": null})", std::nullopt},
      {"zero", "A", true, R"({"thread_id": 0})", std::nullopt},
  };
  for (const auto& c : cases) {
    net::io_context io;
    auto cfg = config_with(c.requested, c.explicit_id);
    AgentWsV3Client client(io.get_executor(), cfg);
    const auto update = client.apply_metadata(boost::json::parse(c.payload).as_object());
    EXPECT_EQ(update, c.expected) << c.name;
    // The request and the explicit flag never move; the bound thread follows the server.
    EXPECT_EQ(client.requested_thread_id(), c.requested) << c.name;
    EXPECT_EQ(client.explicit_thread_id(), c.explicit_id) << c.name;
    EXPECT_EQ(client.thread_id(),
              c.expected ? c.expected->active_thread_id : c.requested.value_or(""))
        << c.name;
    EXPECT_EQ(cfg->thread_id,
              c.expected ? std::optional(c.expected->active_thread_id) : c.requested)
        << c.name;
  }
}

TEST(ApplyMetadata, LatestMetadataWins) {
  net::io_context io;
  AgentWsV3Client client(io.get_executor(), config_with("A", true));
  (void)client.apply_metadata(boost::json::parse(R"({"thread_id": "B"})").as_object());
  const auto second =
      client.apply_metadata(boost::json::parse(R"({"thread_id": "C"})").as_object());
  ASSERT_TRUE(second);
  EXPECT_EQ(second->requested_thread_id, "A");
  EXPECT_TRUE(second->server_overrode_requested_thread);
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
  (void)client.apply_metadata(boost::json::parse(R"({"thread_id": "srv"})").as_object());
}

TEST(WaitForThreadId, WakesWhenMetadataBindsAThread) {
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
