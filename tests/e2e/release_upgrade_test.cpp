// The release channel end to end: wheels packed from two installed builds of the program (this
// build and its next-patch relink), a find-links page on loopback, a fresh virtual environment,
// and `velmora --upgrade` replacing itself. No package index is reachable: pip runs with
// PIP_NO_INDEX and no configuration of the host.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "test_support.hpp"

namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::Not;
using velmora::testing::ChildProcess;
using velmora::testing::ProcessOptions;
using velmora::testing::ProcessResult;
using velmora::testing::run_process;
using velmora::testing::TempDir;

const fs::path BUILD_ROOT = fs::path(VELMORA_TEST_BINARY_DIR).parent_path();
const fs::path SOURCE_ROOT = fs::path(VELMORA_TEST_SOURCE_DIR).parent_path();

std::string output(const ProcessResult& r) { return r.out + r.err; }

// A run with nothing of the host's pip, proxy or velmora settings.
ProcessOptions isolated(const TempDir& home, std::vector<std::string> args) {
  ProcessOptions options;
  options.args = std::move(args);
  options.clean_env = true;
  options.cwd = home.path();
  options.env = {{"HOME", home.path().string()},
                 {"XDG_CONFIG_HOME", (home.path() / "config").string()},
                 {"XDG_STATE_HOME", (home.path() / "state").string()},
                 {"PIP_CONFIG_FILE", "/dev/null"},
                 {"PIP_NO_INDEX", "1"},
                 {"PIP_DISABLE_PIP_VERSION_CHECK", "1"},
                 {"PIP_NO_INPUT", "1"}};
  options.timeout_seconds = 300;
  return options;
}

ProcessResult must_run(const std::string& program, const ProcessOptions& options) {
  auto result = run_process(program, options);
  EXPECT_EQ(result.exit_code, 0) << program << " " << ::testing::PrintToString(options.args) << "\n"
                                 << output(result);
  return result;
}

// An installed tree of this build; `component` adds the next-patch program over it.
fs::path install(const TempDir& home, const std::string& name,
                 const std::optional<std::string>& component) {
  const auto prefix = home.path() / name;
  must_run("cmake", isolated(home, {"--install", BUILD_ROOT.string(), "--prefix", prefix.string(),
                                    "--component", "Unspecified", "--strip"}));
  if (component) {
    // Over files of the same age: copied only when told to.
    auto over = isolated(home, {"--install", BUILD_ROOT.string(), "--prefix", prefix.string(),
                                "--component", *component, "--strip"});
    over.env["CMAKE_INSTALL_ALWAYS"] = "1";
    must_run("cmake", over);
  }
  return prefix;
}

fs::path package(const TempDir& home, const fs::path& prefix, const fs::path& out) {
  const auto r = must_run(
      "python3",
      isolated(home, {(SOURCE_ROOT / "packaging" / "build_wheel.py").string(), "--prefix",
                      prefix.string(), "--out", out.string(), "--compression-level", "1",
                      // This (sanitizer) build takes its libraries from the system.
                      "--allow-system-libraries"}));
  return fs::path(r.out.substr(0, r.out.find('\n')));
}

// A loopback port with nothing behind it.
int closed_port() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), len), 0);
  EXPECT_EQ(::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len), 0);
  ::close(fd);
  return ntohs(addr.sin_port);
}

TEST(ReleaseUpgrade, OlderWheelUpgradesItselfFromTheLinkPage) {
  TempDir home;
  const auto old_version = must_run(VELMORA_BIN, isolated(home, {"--version"})).out;
  const auto next_version = must_run((BUILD_ROOT / "packaging" / "next" / "velmora").string(),
                                     isolated(home, {"--version"}))
                                .out;
  ASSERT_NE(old_version, next_version);

  const auto wheels = home.path() / "wheels";
  const auto old_wheel = package(home, install(home, "old", std::nullopt), wheels);
  const auto next_wheel = package(home, install(home, "next", "upgrade_test"), wheels);
  ASSERT_TRUE(fs::is_regular_file(old_wheel)) << old_wheel;
  ASSERT_TRUE(fs::is_regular_file(next_wheel)) << next_wheel;
  EXPECT_THAT(next_wheel.filename().string(),
              ::testing::MatchesRegex("velmora_cli-[0-9.]+-py3-none-linux_[a-z0-9_]+\\.whl"));

  // The older release, installed from its file into a fresh environment.
  const auto venv = home.path() / "venv";
  must_run("python3", isolated(home, {"-m", "venv", venv.string()}));
  const auto python = (venv / "bin" / "python3").string();
  must_run(python, isolated(home, {"-m", "pip", "install", old_wheel.string()}));
  const auto velmora = (venv / "bin" / "velmora").string();
  EXPECT_EQ(must_run(velmora, isolated(home, {"--version"})).out, old_version);
  for (const char* doc :
       {"share/man/man1/velmora.1", "share/bash-completion/completions/velmora",
        "share/zsh/site-functions/_velmora", "share/fish/vendor_completions.d/velmora.fish"}) {
    EXPECT_TRUE(fs::is_regular_file(venv / doc)) << doc;
  }
  const std::vector<std::string> identity = {"--user-id", "u1", "--token", "t1"};

  // Server down: pip would call that success; the program must not.
  {
    auto args = identity;
    const auto url = "http://127.0.0.1:" + std::to_string(closed_port());
    args.insert(args.end(), {"--upgrade", "--wheel-server-url", url});
    const auto r = run_process(velmora, isolated(home, args));
    EXPECT_EQ(r.exit_code, 1) << output(r);
    EXPECT_THAT(output(r), HasSubstr("Upgrade failed."));
    EXPECT_THAT(output(r), HasSubstr("Cannot reach the wheel server at " + url));
    EXPECT_THAT(output(r), Not(HasSubstr("Upgrade complete.")));
    EXPECT_EQ(must_run(velmora, isolated(home, {"--version"})).out, old_version);
  }

  // The page lists both wheels: pip takes the newer.
  ChildProcess server("python3", isolated(home, {"-u", "-m", "http.server", "0", "--bind",
                                                 "127.0.0.1", "--directory", wheels.string()}));
  const auto banner = server.read_line(60);
  ASSERT_TRUE(banner.has_value()) << server.stderr_text();
  std::smatch port;
  ASSERT_TRUE(std::regex_search(*banner, port, std::regex("port ([0-9]+)"))) << *banner;
  auto args = identity;
  args.insert(args.end(), {"--upgrade", "--wheel-server-url", "http://127.0.0.1:" + port.str(1)});
  const auto upgraded = run_process(velmora, isolated(home, args));
  EXPECT_EQ(upgraded.exit_code, 0) << output(upgraded);
  EXPECT_THAT(upgraded.out, HasSubstr("Upgrade complete."));
  EXPECT_EQ(must_run(velmora, isolated(home, {"--version"})).out, next_version);

  // A newer wheel that is broken: the installer's own error is the detail.
  auto broken = next_wheel.filename().string();
  broken.replace(broken.find('-') + 1,
                 broken.find('-', broken.find('-') + 1) - broken.find('-') - 1, "99.0.0");
  velmora::testing::write_file(wheels / broken, "not a zip archive");
  const auto failed = run_process(velmora, isolated(home, args));
  EXPECT_EQ(failed.exit_code, 1) << output(failed);
  EXPECT_THAT(output(failed), HasSubstr("Upgrade failed."));
  EXPECT_THAT(output(failed), HasSubstr("99.0.0"));
  EXPECT_EQ(must_run(velmora, isolated(home, {"--version"})).out, next_version);
}

}  // namespace
