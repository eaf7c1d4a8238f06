#include "velmora/banner.hpp"

#include <gtest/gtest.h>

#include "test_support.hpp"

namespace {

TEST(DetectGitBranch, NamesTheBranchOrADash) {
  velmora::testing::TempDir dir;
  EXPECT_EQ(velmora::detect_git_branch(dir.path()), "-");
  EXPECT_EQ(velmora::detect_git_branch(dir.path() / "missing"), "-");

  const auto git = [&](std::vector<std::string> args) {
    args.insert(args.begin(), {"-C", dir.path().string()});
    return velmora::testing::run_process("/usr/bin/git", {.args = args}).exit_code;
  };
  ASSERT_EQ(git({"init", "-q", "-b", "feature/x"}), 0);
  ASSERT_EQ(git({"-c", "user.email=t@e", "-c", "user.name=t", "commit", "-q", "--allow-empty", "-m",
                 "first"}),
            0);
  EXPECT_EQ(velmora::detect_git_branch(dir.path()), "feature/x");
  // git is asked only where it could find a repository: from a folder below the work tree, and
  // in a bare repository, which has no .git, it still is.
  std::filesystem::create_directories(dir.path() / "src" / "deep");
  EXPECT_EQ(velmora::detect_git_branch(dir.path() / "src" / "deep"), "feature/x");
  velmora::testing::TempDir elsewhere;
  const auto bare = elsewhere.path() / "bare.git";
  ASSERT_EQ(git({"clone", "-q", "--bare", ".", bare.string()}), 0);
  EXPECT_EQ(velmora::detect_git_branch(bare), "feature/x");
  ASSERT_EQ(git({"checkout", "-q", "--detach"}), 0);
  EXPECT_EQ(velmora::detect_git_branch(dir.path()), "HEAD");

  velmora::testing::ScopedEnv env;
  env.set("PATH", "/nonexistent");
  EXPECT_EQ(velmora::detect_git_branch(dir.path()), "-");
}

}  // namespace
