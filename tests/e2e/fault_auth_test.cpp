// A token refused at every stage: the opening handshake, the identity look-up, the upload, a
// connection the service closes because the token expired, and a reconnect refused after the
// token ran out while connected. Each run refreshes the saved login where there is one, and
// otherwise ends with a report that says what to do.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>

#include "session_machine.hpp"

namespace {

using session_e2e::session_args;
using session_e2e::SessionMachine;
using session_e2e::write_script;
using ::testing::HasSubstr;
using ::testing::Not;
using velmora::testing::SimProcess;

/// A saved login for `sim`; `expires_at` in the past makes the program refresh it first.
void save_login(const SessionMachine& machine, const SimProcess& sim, const std::string& access,
                const std::string& refresh, double expires_at = 4102444800.0) {
  const boost::json::object login{{"access_token", access},           {"refresh_token", refresh},
                                  {"token_type", "Bearer"},           {"expires_at", expires_at},
                                  {"oauth_base_url", sim.http_url()}, {"client_id", "velmora-cli"}};
  velmora::testing::write_file(machine.home() / "config" / "velmora" / "credentials.json",
                               boost::json::serialize(login));
}

std::size_t refreshes(const SimProcess& sim) {
  std::size_t n = 0;
  for (const auto& record : sim.records("credentials")) {
    const auto* form = record.if_contains("form");
    const auto* grant = form != nullptr ? form->as_object().if_contains("grant_type") : nullptr;
    if (grant != nullptr && *grant == "refresh_token") ++n;
  }
  return n;
}

std::vector<std::string> session_tokens(const SimProcess& sim) {
  std::vector<std::string> tokens;
  for (const auto& record : sim.records("ws_open")) {
    tokens.emplace_back(record.at("token").as_string());
  }
  return tokens;
}

TEST(FaultAuth, RefusedAtStartUpWithoutASavedLoginEndsWithAReport) {
  const struct {
    const char* stage;
    std::vector<std::string> sim_args;
    std::vector<std::string> client_args;
    std::vector<const char*> shown;
    std::size_t handshakes;
    bool credentials_service = false;
  } cases[] = {
      {"opening handshake",
       {"--revoke-token", "tok"},
       {"--user-id", "u1", "--token", "tok"},
       {"Authentication failed.", "Refresh the user token and retry.",
        "server rejected WebSocket connection: HTTP 401"},
       3},
      {"identity look-up",
       {"--revoke-token", "tok"},
       {"--token", "tok"},
       {"The provided token is invalid or expired.", "velmora login",
        "invalid_token: the token has been revoked"},
       0,
       true},
      {"upload",
       {"--upload-status", "401", "--upload-body", R"({"detail": "token expired"})"},
       {"--user-id", "u1", "--token", "tok", "--attachment", "a.txt"},
       {"failed to upload attachments: Upload failed (401)", "token expired"},
       1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.stage);
    SimProcess sim(c.sim_args);
    SessionMachine machine;
    if (c.credentials_service) machine.oauth_base_url = sim.http_url();
    velmora::testing::write_file(machine.home() / "a.txt", "a");
    std::vector<std::string> args = {"--url",        sim.ws_url(), "--file-api-url",
                                     sim.http_url(), "--query",    "hello sim:stream=1"};
    args.insert(args.end(), c.client_args.begin(), c.client_args.end());
    const auto result = machine.run(args);
    EXPECT_EQ(result.exit_code, 1) << result.out << result.err;
    for (const char* text : c.shown) EXPECT_THAT(result.out, HasSubstr(text));
    EXPECT_EQ(sim.records("ws_handshake").size(), c.handshakes);
    EXPECT_THAT(result.out, Not(HasSubstr("token0")));
  }
}

TEST(FaultAuth, AHandshakeRefusedEvenAfterARefreshEndsWithOneRefreshAndAReport) {
  SimProcess sim(
      {"--reject-handshakes", "1000", "--token", "access-1=u1", "--refresh-token", "refresh-1=u1"});
  SessionMachine machine;
  machine.oauth_base_url = sim.http_url();
  save_login(machine, sim, "access-1", "refresh-1");

  const auto result = machine.run({"--url", sim.ws_url(), "--user-id", "u1", "--query", "hi"});
  EXPECT_EQ(result.exit_code, 1) << result.out << result.err;
  EXPECT_THAT(result.out, HasSubstr("Authentication failed."));
  EXPECT_THAT(result.out, HasSubstr("Refresh the user token and retry."));
  EXPECT_THAT(result.out, HasSubstr("HTTP 401"));
  // The whole connect (its three attempts) runs once with the saved token and once with the
  // refreshed one; the refresh is not repeated.
  EXPECT_EQ(refreshes(sim), 1u);
  EXPECT_EQ(sim.records("ws_handshake").size(), 6u);
  EXPECT_TRUE(sim.records("ws_open").empty());
}

constexpr const char* CLOSES_WITH_AN_AUTH_ERROR = R"({"turns": [
  {"match": "first", "once": true, "steps": [
    {"send": {"type": "text_delta", "delta": "Partial", "message_id": "a1"}},
    {"close": {"code": 4401, "reason": "token expired"}}]},
  {"steps": [{"send": {"type": "text", "content": "Second answer", "message_id": "a2"}},
             {"complete": {}}]}]})";

TEST(FaultAuth, AConnectionClosedForAnExpiredTokenIsResumedWithARefreshedOne) {
  SessionMachine machine;
  SimProcess sim({"--script", write_script(machine.home(), CLOSES_WITH_AN_AUTH_ERROR).string(),
                  "--token", "access-1=u1", "--refresh-token", "refresh-1=u1"});
  machine.oauth_base_url = sim.http_url();
  save_login(machine, sim, "access-1", "refresh-1");

  const auto result =
      machine.run({"--url", sim.ws_url(), "--user-id", "u1"}, "first\nsecond\n/exit\n");
  EXPECT_EQ(result.exit_code, 0) << result.out << result.err;
  EXPECT_THAT(result.out, HasSubstr("Partial"));
  EXPECT_THAT(result.out, HasSubstr("Connection lost before the answer completed. Reconnected"));
  EXPECT_THAT(result.out, HasSubstr("Second answer"));
  EXPECT_EQ(refreshes(sim), 1u);
  const auto tokens = session_tokens(sim);
  ASSERT_EQ(tokens.size(), 2u);
  EXPECT_EQ(tokens[0], "access-1");
  EXPECT_NE(tokens[1], "access-1");

  // A one-shot run does not reconnect: the broken answer is a failure that names the cause.
  SimProcess fresh({"--script", write_script(machine.home(), CLOSES_WITH_AN_AUTH_ERROR).string()});
  const auto one_shot = machine.run(session_args(fresh, {"--query", "first"}));
  EXPECT_EQ(one_shot.exit_code, 1) << one_shot.out;
  EXPECT_THAT(one_shot.out, HasSubstr("Connection lost before the answer completed."));
  EXPECT_THAT(one_shot.out,
              HasSubstr("server closed the connection with code 4401: token expired"));
}

constexpr const char* DROPS_AFTER_THE_TOKEN_EXPIRED = R"({"turns": [
  {"match": "first", "once": true, "steps": [
    {"send": {"type": "text_delta", "delta": "Partial", "message_id": "a1"}},
    {"delay": 3}, {"drop": true}]},
  {"steps": [{"send": {"type": "text", "content": "Second answer", "message_id": "a2"}},
             {"complete": {}}]}]})";

TEST(FaultAuth, AReconnectRefusedBecauseTheTokenRanOutRefreshesItOnce) {
  SessionMachine machine;
  // Issued tokens live two seconds; the saved one has expired, so the run starts by refreshing.
  SimProcess sim({"--script", write_script(machine.home(), DROPS_AFTER_THE_TOKEN_EXPIRED).string(),
                  "--strict-tokens", "--token-lifetime", "2", "--refresh-token", "refresh-1=u1"});
  machine.oauth_base_url = sim.http_url();
  save_login(machine, sim, "stale", "refresh-1", 1.0);

  const auto result =
      machine.run({"--url", sim.ws_url(), "--user-id", "u1"}, "first\nsecond\n/exit\n", 90);
  EXPECT_EQ(result.exit_code, 0) << result.out << result.err;
  EXPECT_THAT(result.out, HasSubstr("Second answer"));
  EXPECT_EQ(refreshes(sim), 2u);
  std::vector<std::int64_t> statuses;
  for (const auto& record : sim.records("ws_handshake")) {
    statuses.push_back(record.at("status").to_number<std::int64_t>());
  }
  // The expired token is refused on each attempt of the reconnect; the refreshed one gets in.
  EXPECT_THAT(statuses, ::testing::ElementsAre(101, 401, 401, 401, 101));
}

TEST(FaultAuth, AReconnectRefusedWithNoWayToRefreshEndsTheShellWithAReportAndStatus1) {
  SessionMachine machine;
  SimProcess sim({"--script", write_script(machine.home(), DROPS_AFTER_THE_TOKEN_EXPIRED).string(),
                  "--strict-tokens", "--token-lifetime", "2", "--refresh-token", "refresh-1=u1"});
  machine.oauth_base_url = sim.http_url();
  save_login(machine, sim, "stale", "refresh-1", 1.0);

  auto child = machine.start({"--url", sim.ws_url(), "--user-id", "u1"});
  child.write_stdin("first\n");
  ASSERT_FALSE(sim.wait_for_records("ws_frame", 1).empty());
  // Logged out elsewhere while the turn runs: the expired token cannot be refreshed.
  std::filesystem::remove(machine.home() / "config" / "velmora" / "credentials.json");
  const auto result = child.wait(90);
  EXPECT_EQ(result.exit_code, 1) << result.out << result.err;
  EXPECT_THAT(result.out, HasSubstr("Partial"));
  EXPECT_THAT(result.out, HasSubstr("Authentication failed."));
  EXPECT_THAT(result.out, HasSubstr("server rejected WebSocket connection: HTTP 401"));
  // The failure is reported once, as what it is.
  EXPECT_THAT(result.out, Not(HasSubstr("unexpected error")));
  EXPECT_THAT(result.out, Not(HasSubstr("multiple exceptions")));
  EXPECT_EQ(refreshes(sim), 1u);
}

}  // namespace
