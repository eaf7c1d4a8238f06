#include "velmora/shell_history.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <set>

#include "test_support.hpp"

namespace {

using velmora::ShellHistoryFile;
using velmora::testing::ScopedEnv;
using velmora::testing::TempDir;
using ::testing::ElementsAre;

std::string file_text(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(ShellHistoryFile, EntriesComeBackAsTypedAndStayOneLineEach) {
  TempDir dir;
  ShellHistoryFile history(dir.path() / "velmora" / "history");
  const std::vector<std::string> typed = {"plain", "two\nlines\r\n", R"(C:\new\table \\n)",
                                          "trailing backslash\\", "日本語 ✓"};
  for (const auto& entry : typed) history.append(entry);
  EXPECT_EQ(ShellHistoryFile(history.path()).load(), typed);
  const std::string text = file_text(history.path());
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), static_cast<long>(typed.size()));
  // A missing file is an empty history, not an error.
  EXPECT_TRUE(ShellHistoryFile(dir.path() / "none").load().empty());
}

TEST(ShellHistoryFile, KeepsTheNewestEntriesOnly) {
  TempDir dir;
  ShellHistoryFile history(dir.path() / "history", 3);
  for (int i = 1; i <= 5; ++i) history.append("q" + std::to_string(i));
  EXPECT_THAT(history.load(), ElementsAre("q3", "q4", "q5"));
  // The file itself is cut back once it holds twice the limit.
  history.append("q6");
  EXPECT_EQ(file_text(history.path()), "q4\nq5\nq6\n");
}

TEST(ShellHistoryFile, IsPrivateEvenWhenAnOlderFileWasNot) {
  TempDir dir;
  const auto path = dir.path() / "state" / "velmora" / "history";
  ShellHistoryFile(path).append("secret plans");
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  ASSERT_EQ(::stat(path.parent_path().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);

  ASSERT_EQ(::chmod(path.c_str(), 0644), 0);
  ShellHistoryFile(path).append("more");
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST(ShellHistoryFile, SeveralShellsAppendingAtOnceLoseNothing) {
  TempDir dir;
  const auto path = dir.path() / "history";
  constexpr int SHELLS = 4;
  constexpr int LINES = 60;
  // A limit below the total makes the shells cut the file back while others append.
  for (const std::size_t limit : {std::size_t{1000}, std::size_t{50}}) {
    std::filesystem::remove(path);
    std::vector<pid_t> children;
    for (int shell = 0; shell < SHELLS; ++shell) {
      const pid_t pid = ::fork();
      ASSERT_GE(pid, 0);
      if (pid == 0) {
        ShellHistoryFile history(path, limit);
        for (int i = 0; i < LINES; ++i) {
          history.append("shell " + std::to_string(shell) + " line " + std::to_string(i) +
                         "\nsecond row");
        }
        ::_exit(0);
      }
      children.push_back(pid);
    }
    for (const pid_t pid : children) {
      int status = 0;
      ASSERT_EQ(::waitpid(pid, &status, 0), pid);
      ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    const auto entries = ShellHistoryFile(path, 1000).load();
    std::set<std::string> distinct(entries.begin(), entries.end());
    EXPECT_EQ(distinct.size(), entries.size());
    for (const auto& entry : entries) {
      EXPECT_THAT(entry, ::testing::MatchesRegex("shell [0-3] line [0-9]+\nsecond row"));
    }
    if (limit == 1000) {
      EXPECT_EQ(entries.size(), static_cast<std::size_t>(SHELLS * LINES));
    } else {
      EXPECT_LE(entries.size(), 2 * limit);
      EXPECT_GE(entries.size(), limit);
    }
  }
}

TEST(ShellHistoryFile, VelmoraHistoryZeroTurnsItOff) {
  TempDir dir;
  ScopedEnv env;
  env.set("XDG_STATE_HOME", dir.path().string());
  env.unset("VELMORA_HISTORY");
  EXPECT_EQ(ShellHistoryFile::default_path(), dir.path() / "velmora" / "history");
  for (const char* off : {"0", "off", " False "}) {
    env.set("VELMORA_HISTORY", off);
    EXPECT_EQ(ShellHistoryFile::default_path(), std::nullopt) << off;
  }
  env.set("VELMORA_HISTORY", "1");
  EXPECT_TRUE(ShellHistoryFile::default_path().has_value());
}

}  // namespace
