#include "velmora/platform/process.hpp"

#include <gtest/gtest.h>

#include "test_support.hpp"
#include "velmora/base/errors.hpp"

namespace {

using velmora::platform::run_capture;

TEST(RunCapture, CapturesBothStreamsAndStatus) {
  const auto result = run_capture({"sh", "-c", "echo out; echo err >&2; exit 3"});
  EXPECT_EQ(result.exit_code, 3);
  EXPECT_EQ(result.out, "out\n");
  EXPECT_EQ(result.err, "err\n");
  EXPECT_FALSE(result.timed_out);
}

TEST(RunCapture, RunsInFolderWithInputAndNoShellInterpretation) {
  velmora::testing::TempDir dir;
  const auto result = run_capture({"sh", "-c", "pwd; cat; echo \"$1\"", "sh", "a b;$(x)"},
                                  {.cwd = dir.path(), .stdin_data = std::string("typed\n")});
  EXPECT_EQ(result.out, std::filesystem::canonical(dir.path()).string() + "\ntyped\na b;$(x)\n");
}

TEST(RunCapture, KillsAtTimeLimitAndReportsMissingProgram) {
  const auto slow = run_capture({"sleep", "30"}, {.timeout_seconds = 0.2});
  EXPECT_TRUE(slow.timed_out);
  EXPECT_EQ(slow.exit_code, -1);
  EXPECT_THROW(run_capture({"velmora-no-such-program-xyz"}), velmora::base::FileNotFoundError);
}

}  // namespace
