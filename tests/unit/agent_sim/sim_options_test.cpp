#include "sim_options.hpp"

#include <gtest/gtest.h>

#include <sstream>

namespace {

using velmora::agent_sim::parse_options;

velmora::agent_sim::ParsedOptions parse(std::vector<std::string> args, std::string* err = nullptr) {
  args.insert(args.begin(), "velmora-agent-sim");
  std::vector<const char*> argv;
  for (const auto& a : args) argv.push_back(a.c_str());
  std::ostringstream out, error;
  auto parsed = parse_options(static_cast<int>(argv.size()), argv.data(), out, error);
  if (err) *err = error.str();
  return parsed;
}

TEST(SimOptions, BadOptionsExitWithStatusTwo) {
  for (const auto& args :
       std::vector<std::vector<std::string>>{{"--bogus"},
                                             {"--port", "70000"},
                                             {"--heartbeat", "-1"},
                                             {"--device-outcome", "maybe"},
                                             {"--token", "no-equals-sign"},
                                             {"--account", "=v"},
                                             {"--upload-status", "99"},
                                             {"--upload-body", "x"},
                                             {"--drop-after-frames", "0"},
                                             {"--script", "/no/such/script.json"}}) {
    std::string err;
    const auto parsed = parse(args, &err);
    EXPECT_FALSE(parsed.options) << args[0];
    EXPECT_EQ(parsed.exit_code, 2) << args[0];
    EXPECT_NE(err.find("--help"), std::string::npos) << err;
  }
}

TEST(SimOptions, HelpExitsWithStatusZero) {
  const auto parsed = parse({"--help"});
  EXPECT_FALSE(parsed.options);
  EXPECT_EQ(parsed.exit_code, 0);
}

TEST(SimOptions, ValuesReachTheirSettings) {
  const auto parsed = parse({"--port",
                             "8123",
                             "--token",
                             "a=alice",
                             "--token",
                             "b=bob",
                             "--account",
                             "alice=77",
                             "--revoke-token",
                             "c",
                             "--device-outcome",
                             "deny",
                             "--drop-after-frames",
                             "3",
                             "--send-binary",
                             "--pace",
                             "0",
                             "--upload-status",
                             "413",
                             "--upload-body",
                             "too big"});
  ASSERT_TRUE(parsed.options);
  const auto& o = *parsed.options;
  EXPECT_EQ(o.port, 8123);
  EXPECT_EQ(o.credentials.seeded_tokens.at("b"), "bob");
  EXPECT_EQ(o.credentials.accounts.at("alice"), "77");
  EXPECT_EQ(o.credentials.revoked_tokens.count("c"), 1u);
  EXPECT_EQ(o.credentials.device_outcome, velmora::agent_sim::DeviceOutcome::deny);
  EXPECT_EQ(o.faults.drop_after_frames, 3u);
  EXPECT_EQ(o.faults.send_binary, true);
  EXPECT_FALSE(o.faults.send_non_json);
  EXPECT_FALSE(o.faults.fault_connections);
  EXPECT_EQ(o.faults.upload_status, 413u);
  EXPECT_EQ(o.faults.upload_body, "too big");
  EXPECT_EQ(o.demo.pace, 0);
}

}  // namespace
