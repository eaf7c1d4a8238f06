// A service that accepts connections but never answers the opening handshake: each attempt
// gives up at the connect time limit and the run ends with a clear report, never hanging.
// Takes a minute and a half (label soak_tests); run it with `ctest --preset soak`.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>

#include "../e2e/session_machine.hpp"

namespace {

using session_e2e::session_args;
using session_e2e::SessionMachine;
using ::testing::HasSubstr;
using velmora::testing::SimProcess;

TEST(SlowHandshakeSoak, AHandshakeThatNeverCompletesEndsAfterThreeTimedOutAttempts) {
  SimProcess sim({"--handshake-delay", "100000"});
  SessionMachine machine;
  const auto started = std::chrono::steady_clock::now();
  const auto result = machine.run(session_args(sim, {"--query", "hello"}), {}, 400);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  ASSERT_FALSE(result.timed_out);
  EXPECT_EQ(result.exit_code, 1) << result.out << result.err;
  EXPECT_THAT(result.out, HasSubstr("Failed to reach the websocket endpoint."));
  EXPECT_THAT(result.out, HasSubstr("Check --url or QUILLON_URL"));
  EXPECT_THAT(result.out, HasSubstr("timed out"));
  // Three attempts of 30 s with pauses of 1.5 s and 3 s: the time limits are the behaviour
  // under test, the upper bound is loose.
  EXPECT_GE(seconds, 90.0);
  EXPECT_LT(seconds, 200.0);
  EXPECT_EQ(sim.records("ws_handshake").size(), 3u);
  EXPECT_TRUE(sim.records("ws_open").empty());
}

}  // namespace
