// Start-up time of `velmora --version` and of a one-shot run up to its first connection attempt
// (and up to where it would start connecting, the endpoint left out), each against a program
// that does nothing (built with the same flags). The runs interleave, so
// the machine's load weighs on all alike. One JSON line per figure on standard output; wall time
// in milliseconds (median and 90th percentile), and the child's CPU time where it ran to its end.
//
//   startup_bench [--runs N] [--velmora PATH] [--trivial PATH] [--version-only]
//
// Goal: `--version` within 2x of the trivial program (the dynamic loader is the cost).
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Sample {
  double wall_ms = 0;
  double cpu_ms = 0;
};

struct Stats {
  std::vector<double> wall;
  std::vector<double> cpu;
};

double millis(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

double cpu_millis(const rusage& usage) {
  const auto ms = [](const timeval& t) { return t.tv_sec * 1e3 + t.tv_usec / 1e3; };
  return ms(usage.ru_utime) + ms(usage.ru_stime);
}

double quantile(std::vector<double> values, double q) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const auto index = static_cast<std::size_t>(q * static_cast<double>(values.size() - 1) + 0.5);
  return values[std::min(index, values.size() - 1)];
}

// The children's world: a scratch home and no settings, proxies or colour from ours.
class Sandbox {
 public:
  Sandbox() {
    char pattern[] = "/tmp/velmora-startup-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
    dir_ = pattern;
    const char* path = std::getenv("PATH");
    env_ = {"PATH=" + std::string(path != nullptr ? path : "/usr/bin:/bin"),
            "HOME=" + dir_.string(), "XDG_CONFIG_HOME=" + (dir_ / "config").string(),
            "XDG_STATE_HOME=" + (dir_ / "state").string(), "LANG=C.UTF-8"};
  }
  ~Sandbox() {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  Sandbox(const Sandbox&) = delete;
  Sandbox& operator=(const Sandbox&) = delete;

  // Output goes to /dev/null: a benchmark measures start-up, not a terminal.
  pid_t spawn(const std::vector<std::string>& argv) const {
    std::vector<char*> args;
    for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    std::vector<char*> envp;
    for (const auto& entry : env_) envp.push_back(const_cast<char*>(entry.c_str()));
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    for (int fd : {0, 1, 2}) {
      posix_spawn_file_actions_addopen(&actions, fd, "/dev/null", fd == 0 ? O_RDONLY : O_WRONLY, 0);
    }
    posix_spawn_file_actions_addchdir_np(&actions, dir_.c_str());
    pid_t pid = -1;
    const int rc = ::posix_spawn(&pid, args[0], &actions, nullptr, args.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) throw std::runtime_error("cannot start " + argv[0] + ": " + std::strerror(rc));
    return pid;
  }

 private:
  std::filesystem::path dir_;
  std::vector<std::string> env_;
};

Sample run_to_end(const Sandbox& sandbox, const std::vector<std::string>& argv,
                  int expected_status = 0) {
  const auto start = Clock::now();
  const pid_t pid = sandbox.spawn(argv);
  int status = 0;
  rusage usage{};
  ::wait4(pid, &status, 0, &usage);
  const auto end = Clock::now();
  if (!WIFEXITED(status) || WEXITSTATUS(status) != expected_status) {
    throw std::runtime_error(argv[0] + " " + (argv.size() > 1 ? argv[1] : "") +
                             " ended unexpectedly (status " +
                             std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : -1) + ")");
  }
  return {millis(end - start), cpu_millis(usage)};
}

// A loopback listener that only notices the first connection.
class Listener {
 public:
  Listener() {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&addr), len) != 0 || ::listen(fd_, 8) != 0 ||
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
      throw std::runtime_error("cannot listen on loopback");
    }
    port_ = ntohs(addr.sin_port);
  }
  ~Listener() { ::close(fd_); }
  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;
  [[nodiscard]] int fd() const { return fd_; }
  [[nodiscard]] int port() const { return port_; }

 private:
  int fd_ = -1;
  int port_ = 0;
};

struct ConnectOutcome {
  std::optional<double> wall_ms;
  std::string failure;
};

// Time from spawning to the child's first connection; the child is then stopped.
ConnectOutcome run_to_connect(const Sandbox& sandbox, const Listener& listener,
                              const std::vector<std::string>& argv) {
  const auto start = Clock::now();
  const pid_t pid = sandbox.spawn(argv);
  ConnectOutcome outcome;
  while (true) {
    pollfd waiting{listener.fd(), POLLIN, 0};
    if (::poll(&waiting, 1, 10) > 0) {
      outcome.wall_ms = millis(Clock::now() - start);
      const int peer = ::accept(listener.fd(), nullptr, nullptr);
      if (peer >= 0) ::close(peer);
      ::kill(pid, SIGKILL);
      ::waitpid(pid, nullptr, 0);
      return outcome;
    }
    int status = 0;
    if (::waitpid(pid, &status, WNOHANG) == pid) {
      outcome.failure = "velmora ended (status " +
                        std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : -1) +
                        ") before connecting";
      return outcome;
    }
    if (Clock::now() - start > std::chrono::seconds(30)) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, nullptr, 0);
      outcome.failure = "no connection within 30 s";
      return outcome;
    }
  }
}

void print_figure(const char* figure, const Stats& stats) {
  std::printf(
      "{\"bench\": \"startup\", \"figure\": \"%s\", \"unit\": \"ms\", \"runs\": %zu, "
      "\"median\": %.3f, \"p90\": %.3f",
      figure, stats.wall.size(), quantile(stats.wall, 0.5), quantile(stats.wall, 0.9));
  if (!stats.cpu.empty()) std::printf(", \"cpu_median\": %.3f", quantile(stats.cpu, 0.5));
  std::printf("}\n");
}

void print_ratio(const char* figure, const Stats& measured, const Stats& trivial,
                 std::optional<double> goal) {
  const double ratio = quantile(measured.wall, 0.5) / quantile(trivial.wall, 0.5);
  std::printf("{\"bench\": \"startup\", \"figure\": \"%s\", \"unit\": \"x\", \"value\": %.2f",
              figure, ratio);
  if (goal) std::printf(", \"goal\": %.1f, \"met\": %s", *goal, ratio <= *goal ? "true" : "false");
  std::printf("}\n");
}

}  // namespace

int main(int argc, char** argv) {
  int runs = 200;
  std::string velmora = VELMORA_BIN;
  std::string trivial = TRIVIAL_BIN;
  bool version_only = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (i + 1 < argc && arg == "--runs") {
      runs = std::max(1, std::atoi(argv[++i]));
    } else if (i + 1 < argc && arg == "--velmora") {
      velmora = argv[++i];
    } else if (i + 1 < argc && arg == "--trivial") {
      trivial = argv[++i];
    } else if (arg == "--version-only") {
      version_only = true;
    } else {
      std::fprintf(stderr,
                   "usage: startup_bench [--runs N] [--velmora PATH] [--trivial PATH] "
                   "[--version-only]\n");
      return 2;
    }
  }
  try {
    const Sandbox sandbox;
    const Listener listener;
    const std::vector<std::string> oneshot = {
        velmora,
        "--query",
        "hi",
        "--url",
        "ws://127.0.0.1:" + std::to_string(listener.port()) + "/v3",
        "--token",
        "t",
        "--user-id",
        "u",
        "--plain-output",
        "--non-interactive"};
    // Everything a one-shot run does before connecting, ending at the missing endpoint: the
    // session library loaded, settings and the invocation contract checked.
    const std::vector<std::string> no_endpoint = {
        velmora,          "--query",          "hi", "--token", "t", "--user-id", "u",
        "--plain-output", "--non-interactive"};
    // Page caches and the loader's first look-ups are not start-up cost.
    for (int i = 0; i < 10; ++i) {
      (void)run_to_end(sandbox, {trivial});
      (void)run_to_end(sandbox, {velmora, "--version"});
    }
    Stats trivial_stats, version_stats, contract_stats, connect_stats;
    std::string connect_failure;
    // One-shot runs every fourth round: they cost the most and vary the least.
    const int connect_every = 4;
    for (int i = 0; i < runs; ++i) {
      auto sample = run_to_end(sandbox, {trivial});
      trivial_stats.wall.push_back(sample.wall_ms);
      trivial_stats.cpu.push_back(sample.cpu_ms);
      sample = run_to_end(sandbox, {velmora, "--version"});
      version_stats.wall.push_back(sample.wall_ms);
      version_stats.cpu.push_back(sample.cpu_ms);
      if (version_only || i % connect_every != 0) continue;
      sample = run_to_end(sandbox, no_endpoint, 1);
      contract_stats.wall.push_back(sample.wall_ms);
      contract_stats.cpu.push_back(sample.cpu_ms);
      if (connect_failure.empty()) {
        const auto outcome = run_to_connect(sandbox, listener, oneshot);
        if (outcome.wall_ms) {
          connect_stats.wall.push_back(*outcome.wall_ms);
        } else {
          connect_failure = outcome.failure;
        }
      }
    }
    print_figure("trivial", trivial_stats);
    print_figure("version", version_stats);
    print_ratio("version_vs_trivial", version_stats, trivial_stats, 2.0);
    if (version_only) return 0;
    print_figure("oneshot_until_connect_would_start", contract_stats);
    print_ratio("oneshot_until_connect_would_start_vs_trivial", contract_stats, trivial_stats,
                std::nullopt);
    if (connect_failure.empty()) {
      print_figure("oneshot_first_connect", connect_stats);
      print_ratio("oneshot_first_connect_vs_trivial", connect_stats, trivial_stats, std::nullopt);
    } else {
      std::printf(
          "{\"bench\": \"startup\", \"figure\": \"oneshot_first_connect\", \"unavailable\": "
          "\"%s\"}\n",
          connect_failure.c_str());
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "startup_bench: %s\n", e.what());
    return 1;
  }
  return 0;
}
