#include "velmora/platform/files.hpp"

#include <sys/resource.h>
#include <sys/stat.h>

#include <csignal>

#include <gtest/gtest.h>

#include "test_support.hpp"
#include "velmora/base/errors.hpp"
#include "velmora/platform/file_lock.hpp"
#include "velmora/platform/paths.hpp"

namespace {

namespace fs = std::filesystem;
using velmora::platform::read_file_if_exists;
using velmora::platform::write_file_atomic;
using velmora::testing::ScopedEnv;
using velmora::testing::TempDir;

unsigned mode_of(const fs::path& path) {
  struct stat st {};
  ::stat(path.c_str(), &st);
  return st.st_mode & 07777;
}

TEST(WriteFileAtomic, CreatesPrivateFoldersReplacesContentAndLeavesNoTemporaries) {
  TempDir dir;
  const auto file = dir.path() / "a" / "b" / "state.json";
  write_file_atomic(file, "first", 0600);
  EXPECT_EQ(read_file_if_exists(file), "first");
  EXPECT_EQ(mode_of(file), 0600U);
  EXPECT_EQ(mode_of(dir.path() / "a"), 0700U);

  // A file someone made readable to others is replaced by a private one.
  ::chmod(file.c_str(), 0644);
  write_file_atomic(file, std::string("second\0bytes", 12), 0600);
  EXPECT_EQ(read_file_if_exists(file), std::string("second\0bytes", 12));
  EXPECT_EQ(mode_of(file), 0600U);
  EXPECT_EQ(std::distance(fs::directory_iterator(file.parent_path()), fs::directory_iterator()), 1);
}

TEST(WriteFileAtomic, FailureKeepsTheOldFileAndRemovesTheTemporary) {
  TempDir dir;
  const auto file = dir.path() / "state.json";
  write_file_atomic(file, "kept");
  // A file-size limit makes the write fail even for root.
  rlimit saved{};
  ::getrlimit(RLIMIT_FSIZE, &saved);
  const auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
  rlimit small = saved;
  small.rlim_cur = 8;
  ::setrlimit(RLIMIT_FSIZE, &small);
  EXPECT_THROW(write_file_atomic(file, "longer than eight bytes"), velmora::base::OSError);
  ::setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, old_handler);
  EXPECT_EQ(read_file_if_exists(file), "kept");
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);
}

TEST(ReadFileIfExists, MissingIsNothingOtherFailuresThrow) {
  TempDir dir;
  EXPECT_EQ(read_file_if_exists(dir.path() / "missing"), std::nullopt);
  EXPECT_THROW((void)read_file_if_exists(dir.path()), velmora::base::OSError);
}

TEST(FileLock, SecondHolderWaitsUntilTheFirstReleases) {
  TempDir dir;
  const auto path = dir.path() / "sub" / "x.lock";
  std::optional<velmora::platform::FileLock> first(std::in_place, path);
  EXPECT_EQ(mode_of(path), 0600U);
  EXPECT_THROW(velmora::platform::FileLock(path, 0.1), velmora::base::TimeoutError);
  auto moved = std::move(*first);
  first.reset();  // the moved-to lock still holds it
  EXPECT_THROW(velmora::platform::FileLock(path, 0.1), velmora::base::TimeoutError);
  { auto released = std::move(moved); }
  EXPECT_NO_THROW(velmora::platform::FileLock(path, 0.1));
}

TEST(Paths, XdgFoldersAndHomeExpansion) {
  ScopedEnv env;
  env.set("HOME", "/home/tester");
  env.set("XDG_CONFIG_HOME", "/cfg");
  env.set("XDG_STATE_HOME", "relative/state");
  EXPECT_EQ(velmora::platform::xdg_config_home(), "/cfg");
  EXPECT_EQ(velmora::platform::xdg_state_home(), "/home/tester/.local/state");
  env.unset("XDG_CONFIG_HOME");
  EXPECT_EQ(velmora::platform::xdg_config_home(), "/home/tester/.config");

  const std::pair<const char*, const char*> cases[] = {
      {"~", "/home/tester"},  {"~/a.txt", "/home/tester/a.txt"},
      {"~root/x", "/root/x"}, {"~no-such-user-xyz/x", "~no-such-user-xyz/x"},
      {"a/~/b", "a/~/b"},     {"/abs", "/abs"},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(velmora::platform::expand_user(in), out) << in;
}

}  // namespace
