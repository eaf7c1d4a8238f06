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

TEST(ReleaseStartup, VersionLoadsNoneOfTheSessionLibraries) {
  TempDir home;
  constexpr const char* SESSION_LIBRARIES[] = {
      "libvelmora_session", "libwirelet", "libparcelon", "libssl",
      "libcrypto",          "libsqlite3", "libcmark",    "libutf8proc"};
  for (const char* flag : {"--version", "-v"}) {
    const auto loaded = loaded_objects(home, {flag});
    ASSERT_THAT(loaded, HasSubstr("libc.so")) << "LD_DEBUG had no effect";
    for (const char* library : SESSION_LIBRARIES) {
      EXPECT_THAT(loaded, Not(HasSubstr(library))) << flag;
    }
  }
  // Anything else goes through the parser in the session library (so the check above can see
  // the libraries when they load).
  for (const auto& args : std::vector<std::vector<std::string>>{
           {"--help"}, {"--version", "--debug"}, {"--timeout", "soon"}, {"logout"}}) {
    const auto loaded = loaded_objects(home, args);
    EXPECT_THAT(loaded, HasSubstr("libvelmora_session.so")) << ::testing::PrintToString(args);
    EXPECT_THAT(loaded, HasSubstr("libwirelet.so")) << ::testing::PrintToString(args);
  }
}

TEST(ReleaseStartup, VersionAloneAndWithOtherOptionsPrintsTheSameText) {
  TempDir home;
  const auto alone = run_process(VELMORA_BIN, isolated(home, {"--version"}));
  const auto combined = run_process(VELMORA_BIN, isolated(home, {"--debug", "--version"}));
  EXPECT_EQ(alone.exit_code, 0);
  EXPECT_EQ(combined.exit_code, 0) << combined.err;
  EXPECT_EQ(alone.out, combined.out);
  EXPECT_EQ(run_process(VELMORA_BIN, isolated(home, {"-v"})).out, alone.out);
  EXPECT_EQ(alone.err, "");
}

TEST(ReleaseStartup, MissingSessionLibraryIsReportedNotACrash) {
  TempDir home;
  TempDir alone;
  const auto program = alone.path() / "velmora";
  fs::copy_file(VELMORA_BIN, program);
  const auto version = run_process(program.string(), isolated(home, {"--version"}));
  EXPECT_EQ(version.exit_code, 0) << version.err;
  EXPECT_EQ(version.out, run_process(VELMORA_BIN, isolated(home, {"--version"})).out);

  // Named where an installation keeps it, with the command that puts it back.
  const auto expected = fs::canonical(alone.path()).parent_path() / "lib/libvelmora_session.so";
  for (const char* args : {"logout", "--help"}) {
    const auto session = run_process(program.string(), isolated(home, {args}));
    EXPECT_EQ(session.exit_code, 1) << args;
    EXPECT_EQ(session.err, "velmora: a file of the installation is missing: " + expected.string() +
                               "\nReinstall velmora_cli to restore it: python3 -m pip install "
                               "--force-reinstall velmora_cli\n");
    EXPECT_EQ(session.out, "") << args;
  }
  // Beside a virtual environment's Python the command names that Python.
  velmora::testing::write_file(alone.path() / "python3", "#!/bin/sh\n");
  fs::permissions(alone.path() / "python3", fs::perms::owner_all);
  const auto venv = run_process(program.string(), isolated(home, {"logout"}));
  EXPECT_THAT(venv.err, HasSubstr("Reinstall velmora_cli to restore it: " +
                                  (fs::canonical(alone.path()) / "python3").string() +
                                  " -m pip install --force-reinstall velmora_cli\n"));
}

}  // namespace
