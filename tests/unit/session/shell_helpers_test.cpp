#include "quillon/slash_command_handler.hpp"

#include <gtest/gtest.h>

#include "quillon/banner.hpp"
#include "test_support.hpp"

namespace {

TEST(SplitShellCommand, SplitsOnceAtTheFirstBlank) {
  const struct {
    const char* raw;
    const char* command;
    const char* remainder;
  } cases[] = {
      {"/help", "/help", ""},
      {"/attach my file.pdf", "/attach", "my file.pdf"},
      {"/attach    spaced.txt   ", "/attach", "spaced.txt"},
      {"/resume \"quoted id\"", "/resume", "\"quoted id\""},
      {"hello world", "hello", "world"},
      {"/detach\tall", "/detach\tall", ""},
      {"", "", ""},
  };
  for (const auto& c : cases) {
    const auto [command, remainder] = quillon::split_shell_command(c.raw);
    EXPECT_EQ(command, c.command) << c.raw;
    EXPECT_EQ(remainder, c.remainder) << c.raw;
  }
}

TEST(ShellBanner, OnlyForInteractiveShells) {
  quillon::Options args;
  EXPECT_TRUE(quillon::should_render_shell_banner(args, false));
  EXPECT_FALSE(quillon::should_render_shell_banner(args, true));
  args.query = "hi";
  EXPECT_FALSE(quillon::should_render_shell_banner(args, false));
}

TEST(DetectGitBranch, NamesTheBranchOrADash) {
  velmora::testing::TempDir dir;
  EXPECT_EQ(quillon::detect_git_branch(dir.path()), "-");
  EXPECT_EQ(quillon::detect_git_branch(dir.path() / "missing"), "-");

  const auto git = [&](std::vector<std::string> args) {
    args.insert(args.begin(), {"-C", dir.path().string()});
    return velmora::testing::run_process("/usr/bin/git", {.args = args}).exit_code;
  };
  ASSERT_EQ(git({"init", "-q", "-b", "feature/x"}), 0);
  ASSERT_EQ(git({"-c", "user.email=t@e", "-c", "user.name=t", "commit", "-q", "--allow-empty", "-m",
                 "first"}),
            0);
  EXPECT_EQ(quillon::detect_git_branch(dir.path()), "feature/x");
  ASSERT_EQ(git({"checkout", "-q", "--detach"}), 0);
  EXPECT_EQ(quillon::detect_git_branch(dir.path()), "HEAD");

  velmora::testing::ScopedEnv env;
  env.set("PATH", "/nonexistent");
  EXPECT_EQ(quillon::detect_git_branch(dir.path()), "-");
}

}  // namespace
