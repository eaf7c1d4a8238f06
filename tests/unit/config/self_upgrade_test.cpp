#include "velmora/self_upgrade.hpp"

#include <sys/stat.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>

#include "test_support.hpp"
#include "velmora/base/errors.hpp"

namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using velmora::testing::TempDir;
using velmora::testing::write_file;

void write_script(const std::filesystem::path& path, const std::string& body) {
  write_file(path, "#!/bin/sh\n" + body);
  ::chmod(path.c_str(), 0755);
}

TEST(BuildUpgradeCommand, NineItemsInOrder) {
  EXPECT_THAT(velmora::build_upgrade_command("/venv/bin/python3", "http://wheels.test"),
              ElementsAre("/venv/bin/python3", "-m", "pip", "install", "--upgrade",
                          "--no-cache-dir", "--find-links", "http://wheels.test", "velmora_cli"));
}

TEST(UpgradeFailureMessage, ErrorThenOutputThenFixedText) {
  struct Case {
    std::string out, err, expected;
  } cases[] = {
      {"out text", "  err text \n", "err text"},
      {"  only output\n", " \n", "only output"},
      {"", "", "pip install failed"},
      {"\n\t", "", "pip install failed"},
  };
  for (const auto& c : cases) {
    velmora::platform::CaptureResult result;
    result.exit_code = 1;
    result.out = c.out;
    result.err = c.err;
    EXPECT_EQ(velmora::upgrade_failure_message(result), c.expected);
  }
}

TEST(ResolveUpgradeInterpreter, PrefersTheEnvironmentBesideTheExecutable) {
  TempDir venv;
  TempDir path_dir;
  velmora::testing::ScopedEnv env;
  env.set("PATH", path_dir.path().string());
  const auto executable = venv.path() / "velmora";
  write_script(path_dir.path() / "python3", "exit 0\n");

  EXPECT_EQ(velmora::resolve_upgrade_interpreter(executable), path_dir.path() / "python3");
  write_file(venv.path() / "python3", "not runnable");
  EXPECT_EQ(velmora::resolve_upgrade_interpreter(executable), path_dir.path() / "python3");
  write_script(venv.path() / "python3", "exit 0\n");
  EXPECT_EQ(velmora::resolve_upgrade_interpreter(executable), venv.path() / "python3");
}

TEST(ResolveUpgradeInterpreter, MissingEverywhereNamesBothPlaces) {
  TempDir empty;
  velmora::testing::ScopedEnv env;
  env.set("PATH", empty.path().string());
  try {
    (void)velmora::resolve_upgrade_interpreter(empty.path() / "velmora");
    FAIL() << "found an interpreter";
  } catch (const velmora::base::FileNotFoundError& e) {
    EXPECT_THAT(e.what(), HasSubstr("python3"));
    EXPECT_THAT(e.what(), HasSubstr((empty.path() / "velmora").string()));
    EXPECT_THAT(e.what(), HasSubstr("PATH"));
  }
}

struct SelfUpgrade : ::testing::Test {
  TempDir bin;
  velmora::testing::ScopedEnv env;
  std::shared_ptr<velmora::term::StringSink> sink = std::make_shared<velmora::term::StringSink>();
  velmora::term::Console console{velmora::term::ConsoleOptions{.no_color = true}, sink};

  // A folder of wheels as the link page: the installer is the only thing faked.
  std::string page = bin.path().string();

  SelfUpgrade() { env.set("PATH", bin.path().string() + ":/usr/bin:/bin"); }
  void fake_pip(const std::string& body) { write_script(bin.path() / "python3", body); }
};

TEST_F(SelfUpgrade, FailureCarriesTheInstallerTextAndPrintsNoSuccess) {
  struct Case {
    std::string body, message;
  } cases[] = {
      {"echo 'ERROR: No matching distribution'; exit 1\n", "ERROR: No matching distribution"},
      {"echo 'progress'; echo ' boom ' >&2; exit 2\n", "boom"},
      {"exit 3\n", "pip install failed"},
      {"kill -9 $$\n", "pip install failed"},
  };
  for (const auto& c : cases) {
    sink->clear();
    fake_pip(c.body);
    try {
      velmora::self_upgrade(page, console);
      ADD_FAILURE() << c.body << " succeeded";
    } catch (const velmora::base::RuntimeError& e) {
      EXPECT_EQ(std::string(e.what()), c.message);
    }
    EXPECT_EQ(sink->text(), "Upgrading velmora_cli from " + page + "\n");
  }
}

TEST_F(SelfUpgrade, AsyncVariantPrintsOnTheLoopAndRethrowsTheFailure) {
  struct Case {
    std::string body;
    std::string printed;
    std::string error;
  } cases[] = {
      {"exit 0\n",
       "Upgrading velmora_cli from " + page +
           "\nUpgrade complete.\n"
           "Restart the CLI to use the newest version.\n",
       ""},
      {"echo nope; exit 1\n", "Upgrading velmora_cli from " + page + "\n", "nope"},
  };
  auto shared = std::shared_ptr<velmora::term::Console>(&console, [](auto*) {});
  for (const auto& c : cases) {
    sink->clear();
    fake_pip(c.body);
    boost::asio::io_context io;
    std::string error;
    boost::asio::co_spawn(io, velmora::self_upgrade_async(page, shared), [&](std::exception_ptr e) {
      if (!e) return;
      try {
        std::rethrow_exception(e);
      } catch (const velmora::base::RuntimeError& failure) {
        error = failure.what();
      }
    });
    io.run();
    EXPECT_EQ(sink->text(), c.printed);
    EXPECT_EQ(error, c.error);
  }
}

}  // namespace
