// Start-up time of `velmora --version` and of a one-shot run up to its first connection attempt,
// each against a program that does nothing (built with the same flags). The runs interleave, so
// the machine's load weighs on all alike. One line per figure, "name value": wall time in
// milliseconds (median, 90th percentile), the child's CPU time where it ran to its end, and the
// ratio of medians to the trivial program:
//   startup.trivial_ms, startup.version_ms, startup.oneshot_first_connect_ms (+ _p90_ms, _cpu_ms)
//   startup.version_vs_trivial_ratio              the goal is at most 2
//   startup.oneshot_first_connect_vs_trivial_ratio
//
//   startup_bench [--runs N] [--velmora PATH] [--trivial PATH] [--version-only]
// The program is velmora::bench::velmora_program() unless --velmora names another.

#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "bench_process.hpp"

namespace {

using Clock = std::chrono::steady_clock;
using velmora::bench::Output;
using velmora::bench::quantile;
using velmora::bench::RunResult;
using velmora::bench::Sandbox;

struct Sample {
  double wall_ms = 0;
  double cpu_ms = 0;
};

struct Stats {
  std::vector<double> wall;
  std::vector<double> cpu;
};

double millis(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

Sample run_to_end(const Sandbox& sandbox, const std::vector<std::string>& argv) {
  const RunResult run = sandbox.run(argv, Output::discard, 30);
  if (run.exit_code != 0) {
    throw std::runtime_error(argv[0] + " " + (argv.size() > 1 ? argv[1] : "") +
                             " ended unexpectedly (status " + std::to_string(run.exit_code) + ")");
  }
  return {run.wall_ms, run.cpu_ms};
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
  const pid_t pid = sandbox.spawn(argv, -1, -1, false);
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

// "startup.<name>_ms <median>", "..._p90_ms", and "..._cpu_ms" where the child ran to its end.
void print_figures(const char* name, const Stats& stats) {
  std::printf("startup.%s_ms %.3f\n", name, quantile(stats.wall, 0.5));
  std::printf("startup.%s_p90_ms %.3f\n", name, quantile(stats.wall, 0.9));
  if (!stats.cpu.empty()) std::printf("startup.%s_cpu_ms %.3f\n", name, quantile(stats.cpu, 0.5));
}

void print_ratio(const char* name, const Stats& measured, const Stats& trivial) {
  std::printf("startup.%s_vs_trivial_ratio %.2f\n", name,
              quantile(measured.wall, 0.5) / quantile(trivial.wall, 0.5));
}

}  // namespace

int main(int argc, char** argv) {
  int runs = 200;
  std::string velmora = velmora::bench::velmora_program();
  std::string trivial = TRIVIAL_BIN;
  bool version_only = false;
  CLI::App app("Start-up time against a program that does nothing");
  app.add_option("--runs", runs)->check(CLI::PositiveNumber);
  app.add_option("--velmora", velmora, "the program to measure");
  app.add_option("--trivial", trivial, "the program that does nothing");
  app.add_flag("--version-only", version_only, "leave out the one-shot run");
  CLI11_PARSE(app, argc, argv);
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
    // Page caches and the loader's first look-ups are not start-up cost.
    for (int i = 0; i < 10; ++i) {
      (void)run_to_end(sandbox, {trivial});
      (void)run_to_end(sandbox, {velmora, "--version"});
    }
    Stats trivial_stats, version_stats, connect_stats;
    std::string connect_failure;
    // A one-shot run every fourth round: it costs the most and varies the least.
    const int connect_every = 4;
    for (int i = 0; i < runs; ++i) {
      auto sample = run_to_end(sandbox, {trivial});
      trivial_stats.wall.push_back(sample.wall_ms);
      trivial_stats.cpu.push_back(sample.cpu_ms);
      sample = run_to_end(sandbox, {velmora, "--version"});
      version_stats.wall.push_back(sample.wall_ms);
      version_stats.cpu.push_back(sample.cpu_ms);
      if (!version_only && i % connect_every == 0 && connect_failure.empty()) {
        const auto outcome = run_to_connect(sandbox, listener, oneshot);
        if (outcome.wall_ms) {
          connect_stats.wall.push_back(*outcome.wall_ms);
        } else {
          connect_failure = outcome.failure;
        }
      }
    }
    print_figures("trivial", trivial_stats);
    print_figures("version", version_stats);
    print_ratio("version", version_stats, trivial_stats);
    if (version_only) return 0;
    if (!connect_failure.empty()) {
      std::fprintf(stderr, "startup_bench: no one-shot figures: %s\n", connect_failure.c_str());
      return 1;
    }
    print_figures("oneshot_first_connect", connect_stats);
    print_ratio("oneshot_first_connect", connect_stats, trivial_stats);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "startup_bench: %s\n", e.what());
    return 1;
  }
  return 0;
}
