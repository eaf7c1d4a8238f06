// The simulator binary over loopback: start-up, options, the credentials service, the record
// and the state file.
#include <signal.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "sim_client.hpp"
#include "sim_process.hpp"
#include "test_support.hpp"

namespace {

using velmora::agent_sim::testing::http_request;
using velmora::agent_sim::testing::post_form;
using velmora::agent_sim::testing::raw_exchange;
using velmora::testing::ProcessOptions;
using velmora::testing::run_process;
using velmora::testing::SimProcess;

constexpr const char* DEVICE_GRANT = "urn:ietf:params:oauth:grant-type:device_code";

std::string device_code(const SimProcess& sim) {
  const auto reply = post_form(sim.port(), "/oauth/device/code", {{"client_id", "velmora-cli"}});
  EXPECT_EQ(reply.status, 200) << reply.body;
  return std::string(reply.json().at("device_code").as_string());
}

velmora::agent_sim::testing::HttpReply poll(const SimProcess& sim, const std::string& code) {
  return post_form(
      sim.port(), "/oauth/token",
      {{"grant_type", DEVICE_GRANT}, {"device_code", code}, {"client_id", "velmora-cli"}});
}

TEST(SimProgram, HelpBadOptionsAndPortLine) {
  const auto help = run_process(AGENT_SIM_BIN, {.args = {"--help"}});
  EXPECT_EQ(help.exit_code, 0);
  for (const char* option : {"--record", "--script", "--drop-after-frames", "--throughput",
                             "--device-outcome", "--upload-status", "--state-file"}) {
    EXPECT_NE(help.out.find(option), std::string::npos) << option;
  }
  const auto bad = run_process(AGENT_SIM_BIN, {.args = {"--no-such-option"}});
  EXPECT_EQ(bad.exit_code, 2);
  EXPECT_THAT(bad.err, ::testing::HasSubstr("--no-such-option"));

  SimProcess sim;
  EXPECT_GT(sim.port(), 0);
  EXPECT_EQ(http_request(sim.port(), "GET", "/healthz").status, 200);
  const auto stopped = sim.stop();
  EXPECT_EQ(stopped.exit_code, 0) << stopped.err;
  EXPECT_FALSE(stopped.timed_out);
}

TEST(SimProgram, StopsCleanlyOnSigintWithOpenConnections) {
  velmora::testing::ChildProcess child(AGENT_SIM_BIN, ProcessOptions{.args = {"--port", "0"}});
  const auto port = child.read_line(30);
  ASSERT_TRUE(port);
  velmora::agent_sim::testing::WsClient client(std::stoi(*port), "/ws/u1?userToken=t");
  ASSERT_TRUE(client.connected());
  ASSERT_TRUE(client.read());  // metadata: the session is running
  child.send_signal(SIGINT);
  const auto result = child.wait(30);
  EXPECT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(result.err, "");
}

TEST(SimProgram, ATakenPortIsAClearError) {
  SimProcess first;
  const auto second = run_process(
      AGENT_SIM_BIN, {.args = {"--port", std::to_string(first.port())}, .timeout_seconds = 30});
  EXPECT_EQ(second.exit_code, 1);
  EXPECT_THAT(second.err,
              ::testing::HasSubstr("cannot listen on 127.0.0.1:" + std::to_string(first.port())));
}

TEST(SimCredentials, DeviceLoginUserinfoAccountAndSingleUseRefresh) {
  SimProcess sim({"--device-interval", "0", "--login-user", "alice", "--account", "alice=acct-1"});
  const auto code = device_code(sim);
  const auto pending = poll(sim, code);
  EXPECT_EQ(pending.status, 400);
  EXPECT_EQ(pending.json().at("error"), "authorization_pending");
  const auto granted = poll(sim, code);
  ASSERT_EQ(granted.status, 200) << granted.body;
  EXPECT_EQ(granted.headers.at("cache-control"), "no-store");
  const std::string access(granted.json().at("access_token").as_string());
  const std::string refresh(granted.json().at("refresh_token").as_string());

  const auto who =
      http_request(sim.port(), "GET", "/oauth/userinfo", {{"Authorization", "Bearer " + access}});
  EXPECT_EQ(who.status, 200);
  EXPECT_EQ(who.json(), (boost::json::object{{"user_id", "alice"}}));
  const auto account = http_request(sim.port(), "GET", "/api/v1/users/alice/devevaro_account",
                                    {{"Authorization", "Bearer " + access}});
  EXPECT_EQ(account.json(), (boost::json::object{{"devevaro_account", "acct-1"}}));

  const auto renewed = post_form(
      sim.port(), "/oauth/token",
      {{"grant_type", "refresh_token"}, {"refresh_token", refresh}, {"client_id", "velmora-cli"}});
  EXPECT_EQ(renewed.status, 200);
  const auto reused = post_form(
      sim.port(), "/oauth/token",
      {{"grant_type", "refresh_token"}, {"refresh_token", refresh}, {"client_id", "velmora-cli"}});
  EXPECT_EQ(reused.status, 400);
  EXPECT_EQ(reused.json().at("error"), "invalid_grant");

  // Every credentials request is in the record, with its form and outcome.
  const auto lines = sim.wait_for_records("credentials", 7);
  std::vector<std::string> outcomes;
  for (const auto& line : lines) outcomes.emplace_back(line.at("outcome").as_string());
  EXPECT_THAT(outcomes,
              ::testing::ElementsAre("device_code", "authorization_pending", "issued", "identified",
                                     "account", "refreshed", "invalid_grant"));
  EXPECT_EQ(lines[5].at("form").at("refresh_token").as_string(), refresh);
}

TEST(SimCredentials, DeniedLoginAndRejectedTokens) {
  SimProcess sim({"--device-outcome", "deny", "--device-pending-polls", "0", "--token", "good=bob",
                  "--revoke-token", "bad"});
  const auto denied = poll(sim, device_code(sim));
  EXPECT_EQ(denied.status, 400);
  EXPECT_EQ(denied.json().at("error"), "access_denied");
  for (const auto& [token, status] :
       std::vector<std::pair<std::string, int>>{{"good", 200}, {"bad", 401}, {"unknown", 401}}) {
    EXPECT_EQ(
        http_request(sim.port(), "GET", "/oauth/userinfo", {{"Authorization", "Bearer " + token}})
            .status,
        status)
        << token;
  }
  EXPECT_EQ(http_request(sim.port(), "GET", "/oauth/userinfo").headers.at("www-authenticate"),
            "Bearer error=\"invalid_token\"");
}

TEST(SimCredentials, OddRequestsGetClearAnswers) {
  SimProcess sim;
  EXPECT_EQ(http_request(sim.port(), "GET", "/nothing/here").status, 404);
  EXPECT_EQ(http_request(sim.port(), "GET", "/oauth/token").status, 405);
  EXPECT_EQ(http_request(sim.port(), "POST", "/oauth/userinfo").status, 405);
  const auto bad_form = http_request(sim.port(), "POST", "/oauth/token", {}, "a=%zz");
  EXPECT_EQ(bad_form.status, 400);
  EXPECT_EQ(bad_form.json().at("error"), "invalid_request");
  EXPECT_THAT(raw_exchange(sim.port(), "NOT HTTP AT ALL\r\n\r\n"),
              ::testing::StartsWith("HTTP/1.1 400"));
  // Still serving after the garbage.
  EXPECT_EQ(http_request(sim.port(), "GET", "/healthz").status, 200);
  // Keep-alive: two requests on one connection, the second closing it.
  const auto both = raw_exchange(sim.port(),
                                 "GET /healthz HTTP/1.1\r\nHost: x\r\n\r\n"
                                 "GET /nothing HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
  EXPECT_THAT(both, ::testing::StartsWith("HTTP/1.1 200 OK"));
  EXPECT_THAT(both, ::testing::HasSubstr("HTTP/1.1 404 Not Found"));
}

TEST(SimCredentials, TokensAndThreadsSurviveARestartWithAStateFile) {
  velmora::testing::TempDir dir;
  const auto state = (dir.path() / "state.json").string();
  std::string access;
  {
    SimProcess sim({"--state-file", state, "--device-pending-polls", "0"});
    const auto granted = poll(sim, device_code(sim));
    access = std::string(granted.json().at("access_token").as_string());
    velmora::agent_sim::testing::WsClient client(sim.port(), "/ws/u1?userToken=t&thread_id=kept");
    ASSERT_TRUE(client.send_json({{"type", "query"}, {"query", "remember me"}}));
    ASSERT_EQ(client.read_until("complete").back().type(), "complete");
    client.close();
    EXPECT_EQ(sim.stop().exit_code, 0);
  }
  SimProcess again({"--state-file", state});
  velmora::agent_sim::testing::WsClient client(again.port(), "/ws/u1?userToken=t&thread_id=kept");
  const auto replay = client.read_until("resume_complete");
  ASSERT_GE(replay.size(), 3u);
  EXPECT_EQ(replay[0].json().at("is_new"), false);
  EXPECT_EQ(replay[replay.size() - 2].type(), "complete");
  EXPECT_EQ(
      http_request(again.port(), "GET", "/oauth/userinfo", {{"Authorization", "Bearer " + access}})
          .json()
          .at("user_id"),
      "sim-user");
}

TEST(SimCredentials, ACorruptStateFileIsRefusedAndKept) {
  velmora::testing::TempDir dir;
  const auto state = dir.path() / "state.json";
  velmora::testing::write_file(state, "{\"threads\": [1, 2");
  const auto result = run_process(AGENT_SIM_BIN, {.args = {"--state-file", state.string()}});
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_THAT(result.err, ::testing::HasSubstr("is not a JSON object"));
  EXPECT_EQ(velmora::testing::read_file(state), "{\"threads\": [1, 2");
}

}  // namespace
