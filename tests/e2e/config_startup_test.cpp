// Start-up through the real binary: configuration errors, the invocation contract and
// `--upgrade`, each ending before any connection.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "http_test_server.hpp"
#include "test_support.hpp"

namespace {

using ::testing::HasSubstr;
using ::testing::Not;
using velmora::testing::ProcessOptions;
using velmora::testing::ProcessResult;
using velmora::testing::run_process;
using velmora::testing::TempDir;

/// A loopback port that accepts nothing itself: connections wait in its backlog to be counted.
class ConnectionCounter {
 public:
  ConnectionCounter() {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&addr), len) != 0 || ::listen(fd_, 16) != 0 ||
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
      ADD_FAILURE() << "cannot listen on loopback";
    }
    port_ = ntohs(addr.sin_port);
  }
  ~ConnectionCounter() { ::close(fd_); }
  ConnectionCounter(const ConnectionCounter&) = delete;
  ConnectionCounter& operator=(const ConnectionCounter&) = delete;

  [[nodiscard]] std::string url(const std::string& scheme) const {
    return scheme + "://127.0.0.1:" + std::to_string(port_);
  }
  /// Connections made so far.
  int accepted() {
    int count = 0;
    for (int fd; (fd = ::accept(fd_, nullptr, nullptr)) >= 0; ++count) ::close(fd);
    return count;
  }

 private:
  int fd_ = -1;
  int port_ = 0;
};

struct Startup : ::testing::Test {
  TempDir home;
  ConnectionCounter service;

  /// A clean environment: no saved login, no settings, every address pointing at `service`.
  ProcessOptions options(std::vector<std::string> args) {
    ProcessOptions o;
    o.args = std::move(args);
    o.clean_env = true;
    o.cwd = home.path();
    o.env = {{"HOME", home.path().string()},
             {"XDG_CONFIG_HOME", (home.path() / "config").string()},
             {"XDG_STATE_HOME", (home.path() / "state").string()},
             {"VELMORA_OAUTH_BASE_URL", service.url("http")},
             {"QUILLON_URL", service.url("ws")},
             {"QUILLON_FILE_API_URL", service.url("http")},
             {"TERM", "dumb"}};
    o.timeout_seconds = 60;
    return o;
  }

  static std::string output(const ProcessResult& r) { return r.out + r.err; }
};

TEST_F(Startup, BadConfigEndsBeforeAnyNetworkCall) {
  for (const char* config : {"{a:1, b}", "[1,2]", "abc"}) {
    const auto r =
        run_process(VELMORA_BIN, options({"--token", "t", "--query", "hi", "--config", config}));
    EXPECT_EQ(r.exit_code, 1) << config << "\n" << output(r);
    EXPECT_THAT(output(r), HasSubstr("Invalid --config JSON.")) << config;
    EXPECT_THAT(output(r), HasSubstr("Pass a ")) << config;
    EXPECT_THAT(r.out + r.err, Not(HasSubstr("\x1b["))) << "escape codes in piped output";
  }
  EXPECT_EQ(service.accepted(), 0);
}

TEST_F(Startup, MissingEndpointHintDependsOnTheLauncher) {
  struct Case {
    std::vector<std::string> extra;
    std::string hint;
  } cases[] = {
      {{}, "Pass --url or set QUILLON_URL before running the CLI."},
      {{"--config", R"({"channel":"feishu"})"},
       "Set QUILLON_URL in the launcher environment. Tarnquist-style calls do not fall back to "
       "localhost."},
  };
  for (const auto& c : cases) {
    auto o = options({"--user-id", "u1", "--token", "t", "--query", "hi"});
    o.args.insert(o.args.end(), c.extra.begin(), c.extra.end());
    o.env.erase("QUILLON_URL");
    // No credentials service: the identity look-ups quietly answer nothing.
    o.env.erase("VELMORA_OAUTH_BASE_URL");
    const auto r = run_process(VELMORA_BIN, o);
    EXPECT_EQ(r.exit_code, 1) << output(r);
    EXPECT_THAT(output(r), HasSubstr("Missing websocket endpoint."));
    EXPECT_THAT(output(r), HasSubstr(c.hint));
  }
  EXPECT_EQ(service.accepted(), 0);
}

struct Upgrade : Startup {
  TempDir bin;
  // The link page answers; only the installer is faked.
  velmora::testing::HttpTestServer page{[](const velmora::testing::RecordedRequest&) {
    return velmora::testing::HttpReply{.body = "<html><body></body></html>"};
  }};
  std::filesystem::path recorded = bin.path() / "pip-args";

  void fake_python(const std::string& body) {
    const auto path = bin.path() / "python3";
    velmora::testing::write_file(path,
                                 "#!/bin/sh\nfor a in \"$@\"; do printf '%s\\n' \"$a\"; "
                                 "done > '" +
                                     recorded.string() + "'\n" + body);
    ::chmod(path.c_str(), 0755);
  }

  ProcessResult run_upgrade(std::vector<std::string> extra = {}) {
    std::vector<std::string> args = {"--upgrade", "--user-id", "u1", "--wheel-server-url",
                                     page.url() + "/simple/"};
    args.insert(args.end(), extra.begin(), extra.end());
    auto o = options(args);
    o.env["PATH"] = bin.path().string() + ":/usr/bin:/bin";
    // Without a credentials service nothing is looked up, so only the installer could connect.
    o.env.erase("VELMORA_OAUTH_BASE_URL");
    return run_process(VELMORA_BIN, o);
  }
};

TEST_F(Upgrade, SuccessRunsPipFromTheLinkPageAndNeverConnects) {
  fake_python("echo 'Successfully installed velmora_cli'\nexit 0\n");
  const auto r = run_upgrade();
  EXPECT_EQ(r.exit_code, 0) << output(r);
  EXPECT_EQ(velmora::testing::read_file(recorded),
            "-m\npip\ninstall\n--upgrade\n--no-cache-dir\n--find-links\n" + page.url() +
                "/simple\nvelmora_cli\n");
  EXPECT_THAT(r.out, HasSubstr("Upgrading velmora_cli from " + page.url() + "/simple"));
  EXPECT_THAT(r.out, HasSubstr("Upgrade complete."));
  EXPECT_THAT(r.out, HasSubstr("Restart the CLI to use the newest version."));
  EXPECT_THAT(output(r), Not(HasSubstr("Successfully installed")));
  EXPECT_EQ(service.accepted(), 0);
}

TEST_F(Upgrade, FailureReportsTheInstallerOutputAndEndsWithOne) {
  fake_python("echo 'ERROR: Could not find a version that satisfies velmora_cli'\nexit 1\n");
  const auto r = run_upgrade({"--url", service.url("ws")});
  EXPECT_EQ(r.exit_code, 1) << output(r);
  EXPECT_THAT(output(r), HasSubstr("Upgrade failed."));
  EXPECT_THAT(output(r),
              HasSubstr("Check the wheel server URL and network connectivity, then retry."));
  EXPECT_THAT(output(r), HasSubstr("ERROR: Could not find a version that satisfies velmora_cli"));
  EXPECT_THAT(output(r), Not(HasSubstr("Upgrade complete.")));
  EXPECT_EQ(service.accepted(), 0);
}

TEST_F(Upgrade, MissingInterpreterFailsClearly) {
  // PATH holds no python3 at all once the system folders are gone.
  auto o = options({"--upgrade", "--user-id", "u1"});
  o.env["PATH"] = bin.path().string();
  o.env.erase("VELMORA_OAUTH_BASE_URL");
  const auto missing = run_process(VELMORA_BIN, o);
  EXPECT_EQ(missing.exit_code, 1) << output(missing);
  EXPECT_THAT(output(missing), HasSubstr("Upgrade failed."));
  EXPECT_THAT(output(missing), HasSubstr("python3"));
}

}  // namespace
