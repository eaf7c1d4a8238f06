// The real `velmora` binary: version, usage errors, and what a pipe receives.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "test_support.hpp"

namespace {

using ::testing::HasSubstr;
using velmora::testing::ProcessOptions;
using velmora::testing::run_process;
using velmora::testing::TempDir;

// A run that cannot reach anything: its own config folders, no settings from the host.
ProcessOptions isolated(const TempDir& home, std::vector<std::string> args) {
  ProcessOptions options;
  options.args = std::move(args);
  options.cwd = home.path();
  options.env = {{"HOME", home.path().string()},
                 {"XDG_CONFIG_HOME", (home.path() / "config").string()},
                 {"XDG_STATE_HOME", (home.path() / "state").string()},
                 {"QUILLON_URL", std::nullopt},
                 {"VELMORA_AUTH_TOKEN", std::nullopt},
                 {"QUILLON_USER_ID", std::nullopt},
                 {"VELMORA_OAUTH_BASE_URL", std::nullopt},
                 {"NO_COLOR", std::nullopt},
                 // Colour-capable terminal markers: output must still be plain in a pipe.
                 {"TERM", "xterm-256color"},
                 {"COLORTERM", "truecolor"}};
  options.timeout_seconds = 60;
  return options;
}

TEST(CliCommandLine, VersionPrintsTheReleaseTag) {
  TempDir home;
  for (const char* flag : {"--version", "-v"}) {
    const auto result = run_process(VELMORA_BIN, isolated(home, {flag}));
    EXPECT_EQ(result.exit_code, 0) << result.err;
    EXPECT_THAT(result.out, ::testing::MatchesRegex("velmora [^ \n]+\n"));
    EXPECT_EQ(result.err, "");
  }
}

TEST(CliCommandLine, UnparseableCommandLinesExitWithTwo) {
  TempDir home;
  const std::vector<std::vector<std::string>> cases = {
      {"--timeout", "x"},   {"run", "--idle-finish-seconds", "y"},
      {"--no-such-option"}, {"login", "--debug"},
      {"--query"},          {"logout", "extra"}};
  for (const auto& args : cases) {
    const auto result = run_process(VELMORA_BIN, isolated(home, args));
    const std::string shown = ::testing::PrintToString(args);
    EXPECT_EQ(result.exit_code, 2) << shown << result.err;
    EXPECT_THAT(result.err, HasSubstr("Usage: velmora")) << shown;
    EXPECT_THAT(result.err, HasSubstr("velmora: error: ")) << shown;
    EXPECT_EQ(result.out, "") << shown;
  }
}

TEST(CliCommandLine, HelpListsTheCommands) {
  TempDir home;
  const auto result = run_process(VELMORA_BIN, isolated(home, {"--help"}));
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_THAT(result.out, HasSubstr("Agent Loop CLI for websocket streaming messages."));
  EXPECT_THAT(result.out, HasSubstr("Log in via browser OAuth flow."));
}

TEST(CliCommandLine, PipedOutputHoldsNoEscapeSequences) {
  TempDir home;
  const std::vector<std::vector<std::string>> cases = {
      {"--help"},    {"run", "--help"},
      {"--version"}, {"logout"},
      {"logout"},    {"--timeout", "x"},
      {"login"},     {"--query", "hi", "--url", "ws://127.0.0.1:9/v3"}};
  for (const auto& args : cases) {
    const auto result = run_process(VELMORA_BIN, isolated(home, args));
    const std::string shown = ::testing::PrintToString(args);
    EXPECT_FALSE(result.timed_out) << shown;
    EXPECT_NE(result.exit_code, -1) << shown << " ended by signal " << result.term_signal;
    EXPECT_EQ(result.out.find('\x1b'), std::string::npos) << shown << result.out;
    EXPECT_EQ(result.err.find('\x1b'), std::string::npos) << shown << result.err;
  }
}

}  // namespace
