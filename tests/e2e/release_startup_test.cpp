// Start-up cost is the dynamic loader's: what `velmora` loads for each kind of run.
#include <sys/stat.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>

#include "test_support.hpp"

namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::Not;
using velmora::testing::ProcessOptions;
using velmora::testing::run_process;
using velmora::testing::TempDir;

ProcessOptions isolated(const TempDir& home, std::vector<std::string> args) {
  ProcessOptions options;
  options.args = std::move(args);
  options.clean_env = true;
  options.cwd = home.path();
  options.env = {{"HOME", home.path().string()},
                 {"XDG_CONFIG_HOME", (home.path() / "config").string()},
                 {"XDG_STATE_HOME", (home.path() / "state").string()}};
  return options;
}

// Every object the loader maps, as the loader itself reports it.
std::string loaded_objects(const TempDir& home, std::vector<std::string> args) {
  auto options = isolated(home, std::move(args));
  options.env["LD_DEBUG"] = "files";
  return run_process(VELMORA_BIN, options).err;
}

TEST(ReleaseStartup, ParserOnlyRunsLoadNoneOfTheSessionLibraries) {
  TempDir home;
  for (const auto& args : std::vector<std::vector<std::string>>{
           {"--version"}, {"--help"}, {"run", "--help"}, {"--timeout", "soon"}}) {
    const auto loaded = loaded_objects(home, args);
    const auto shown = ::testing::PrintToString(args);
    ASSERT_THAT(loaded, HasSubstr("libc.so")) << "LD_DEBUG had no effect";
    for (const char* library : {"libvelmora_session", "libwirelet", "libparcelon", "libssl",
                                "libcrypto", "libsqlite3", "libcmark", "libutf8proc"}) {
      EXPECT_THAT(loaded, Not(HasSubstr(library))) << shown;
    }
  }
  // A run that reaches the session does load them (and so the check above can see them).
  const auto session = loaded_objects(home, {"logout"});
  EXPECT_THAT(session, HasSubstr("libvelmora_session.so"));
  EXPECT_THAT(session, HasSubstr("libwirelet.so"));
}

TEST(ReleaseStartup, MissingSessionLibraryIsReportedNotACrash) {
  TempDir home;
  TempDir alone;
  const auto program = alone.path() / "velmora";
  fs::copy_file(VELMORA_BIN, program);
  const auto version = run_process(program.string(), isolated(home, {"--version"}));
  EXPECT_EQ(version.exit_code, 0) << version.err;
  EXPECT_EQ(version.out, run_process(VELMORA_BIN, isolated(home, {"--version"})).out);

  const auto session = run_process(program.string(), isolated(home, {"logout"}));
  EXPECT_EQ(session.exit_code, 1);
  EXPECT_THAT(session.err, HasSubstr("velmora: cannot load the session library: "));
  EXPECT_THAT(session.err, HasSubstr("libvelmora_session.so"));
  EXPECT_THAT(session.err, HasSubstr("Reinstall velmora_cli to repair the installation."));
  EXPECT_EQ(session.out, "");
}

}  // namespace
