// A service that accepts connections but never answers the opening handshake: each of the three
// attempts gives up at the connect time limit, then the session ends with a clear report. The
// same as the slow-handshake soak, with a time limit short enough for every run.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "session_harness.hpp"
#include "sim_process.hpp"
#include "velmora/receive_loop.hpp"

namespace {

using session_testing::Harness;
using session_testing::from_client;
using ::testing::HasSubstr;

TEST(ConnectTimeout, ThreeTimedOutHandshakesThenTheSessionEndsWithAClearReport) {
  velmora::testing::SimProcess sim({"--handshake-delay", "100000"});
  Harness h("t1");
  h.ws_config->base_url = sim.ws_url();
  h.ws_config->connect_timeout_seconds = 0.3;
  h.ws_config->reconnect_attempts = 3;
  h.ws_config->reconnect_backoff_seconds = 0.05;
  auto& s = *h.state;
  // The connection had delivered an answer, so the reconnect starts at once.
  s.connection_delivered_content = true;

  bool went_on = true;
  h.run([](velmora::SessionState& state, bool& went_on) -> velmora::base::awaitable<void> {
    went_on = co_await velmora::handle_incoming_message(
        state, velmora::events::to_event(from_client(
                   R"({"type": "_connection_error", "error_message": "reset by peer"})")));
  }(s, went_on));

  EXPECT_FALSE(went_on);
  EXPECT_TRUE(s.reconnect_failed) << "the shell ends with status 1";
  EXPECT_TRUE(s.stop_event.is_set());
  EXPECT_THAT(h.output(), HasSubstr("Failed to reach the websocket endpoint."));
  EXPECT_THAT(h.output(), HasSubstr("Check --url or QUILLON_URL"));
  EXPECT_THAT(h.output(), HasSubstr("timed out during opening handshake"));
  EXPECT_EQ(sim.wait_for_records("ws_handshake", 3).size(), 3U);
  EXPECT_TRUE(sim.records("ws_open").empty());
}

}  // namespace
