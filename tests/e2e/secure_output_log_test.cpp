// The suite's output log and its token scan: every child's output is kept under the name of the
// test that ran it, and the scan finds whole tokens (also split by escape sequences or a line
// wrap) but lets the debug form (8 characters) pass. Neither passes when it could not do its
// work: a log that cannot be written fails the test, a missing or empty folder fails the scan.
#include "output_log.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include "test_support.hpp"
#include "test_tokens.hpp"

namespace {

using ::testing::HasSubstr;
using ::testing::Not;
using velmora::testing::run_process;
using velmora::testing::ScopedEnv;
using velmora::testing::TempDir;

TEST(OutputLog, KeepsEachStreamOfEachChildUnderItsTest) {
  TempDir logs;
  ScopedEnv env;
  env.set("VELMORA_OUTPUT_LOG_DIR", logs.path().string());
  const auto r = run_process("/bin/sh", {.args = {"-c", "printf 'to out'; printf 'to err' >&2"}});
  ASSERT_EQ(r.exit_code, 0);

  std::map<std::string, std::string> kept;
  for (const auto& entry : std::filesystem::directory_iterator(logs.path())) {
    const auto name = entry.path().filename().string();
    kept[name.substr(name.rfind('-'))] = velmora::testing::read_file(entry.path());
  }
  EXPECT_EQ(kept["-out.log"], "# OutputLog.KeepsEachStreamOfEachChildUnderItsTest sh\nto out");
  EXPECT_EQ(kept["-err.log"], "# OutputLog.KeepsEachStreamOfEachChildUnderItsTest sh\nto err");
  EXPECT_EQ(kept.size(), 2U);
}

TEST(OutputLog, ScanFindsWholeTokensOnly) {
  const std::string token(velmora::testing::SESSION_TOKEN);
  const std::string hex32 = "0123456789abcdef0123456789abcdef";
  struct Case {
    const char* name;
    std::string output;
    int status;
  } cases[] = {
      {"a test token", "userToken=" + token + "&thread_id=x", 1},
      {"its debug form", "userToken=" + token.substr(0, 8) + "…", 0},
      {"an issued access token", R"({"access_token": "at-)" + hex32 + "\"}", 1},
      {"an issued refresh token at the end", "refresh rt-" + hex32, 1},
      {"issued token masked", "at-" + hex32.substr(0, 5) + "…", 0},
      // Its first 32 digits are the token, whatever follows.
      {"an issued token followed by more digits", "at-" + hex32 + "0badc0de", 1},
      {"a test token split by styles",
       "userToken=" + token.substr(0, 10) + "\x1b[1m\x1b[38;5;2m" + token.substr(10) + "\x1b[0m",
       1},
      {"an issued token split by a link",
       "rt-" + hex32.substr(0, 7) + "\x1b]8;;http://x\x1b\\" + hex32.substr(7) + "\x1b]8;;\x07", 1},
      {"a test token wrapped onto the next line",
       "token " + token.substr(0, 12) + "\r\n    " + token.substr(12) + " end", 1},
      {"its debug form at a line end", "userToken=" + token.substr(0, 8) + "…\nnext line", 0},
      {"a word ending in at-", "format-" + hex32, 0},
      {"nothing", "", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir logs;
    velmora::testing::write_file(logs.path() / "1-0-out.log", "# Some.Test velmora\n" + c.output);
    const auto r = run_process(OUTPUT_SCAN_BIN, {.args = {logs.path().string()}});
    EXPECT_EQ(r.exit_code, c.status) << r.out << r.err;
    if (c.status == 1) {
      EXPECT_THAT(r.out, HasSubstr("LEAK ")) << r.out;
    }
    EXPECT_THAT(r.out, Not(HasSubstr(token)));
    EXPECT_THAT(r.out, Not(HasSubstr(hex32)));
  }
}

TEST(OutputLog, ScanFailsWhenItHasNothingToCheck) {
  TempDir logs;
  const auto empty = run_process(OUTPUT_SCAN_BIN, {.args = {logs.path().string()}});
  EXPECT_EQ(empty.exit_code, 1) << empty.out;
  EXPECT_THAT(empty.out, HasSubstr("is empty, so no output was checked"));
  const auto missing =
      run_process(OUTPUT_SCAN_BIN, {.args = {(logs.path() / "never-made").string()}});
  EXPECT_EQ(missing.exit_code, 1) << missing.out;
  EXPECT_THAT(missing.out, HasSubstr("does not exist, so no output was checked"));
}

TEST(OutputLog, AChildWhoseOutputCannotBeKeptFailsTheTest) {
  TempDir dir;
  // A regular file where the log folder should be: no one can create files under it.
  velmora::testing::write_file(dir.path() / "blocker", "x");
  ScopedEnv env;
  env.set("VELMORA_OUTPUT_LOG_DIR", (dir.path() / "blocker" / "logs").string());
  EXPECT_NONFATAL_FAILURE((void)run_process("/bin/sh", {.args = {"-c", "printf 'lost'"}}),
                          "the output log cannot keep this child's output");
}

}  // namespace
