// One-shot round trip against the local simulator: connect, query, 1 000 streamed deltas,
// complete. Measures the client process alone (CPU time and peak resident memory from
// wait4's resource usage) and prints one JSON line per figure set.
//
//   session_roundtrip_bench [--runs N] [--deltas N] [--velmora PATH] [--sim PATH]
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;

struct Child {
  pid_t pid = -1;
  int out_fd = -1;
};

/// Starts `argv` with standard output on a pipe (or /dev/null) and standard input from
/// /dev/null; standard error is kept so failures show.
Child spawn(const std::vector<std::string>& argv, bool capture_output) {
  int pipe_fds[2] = {-1, -1};
  if (capture_output && ::pipe2(pipe_fds, O_CLOEXEC) != 0) {
    std::perror("pipe2");
    std::exit(1);
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  if (capture_output) {
    posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], 1);
  } else {
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  }
  std::vector<char*> args;
  for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  Child child;
  const int rc = posix_spawn(&child.pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) {
    std::cerr << "cannot start " << argv[0] << ": " << std::strerror(rc) << '\n';
    std::exit(1);
  }
  if (capture_output) {
    ::close(pipe_fds[1]);
    child.out_fd = pipe_fds[0];
  }
  return child;
}

std::optional<std::string> read_line(int fd) {
  std::string line;
  char ch = 0;
  while (::read(fd, &ch, 1) == 1) {
    if (ch == '\n') return line;
    line.push_back(ch);
  }
  return line.empty() ? std::nullopt : std::optional<std::string>(line);
}

struct Run {
  double cpu_ms = 0;
  double wall_ms = 0;
  long peak_kib = 0;
  int exit_code = -1;
};

Run run_once(const std::string& velmora, int port, int deltas) {
  const auto start = std::chrono::steady_clock::now();
  Child client = spawn(
      {velmora, "--url", "ws://127.0.0.1:" + std::to_string(port) + "/ws/v3", "--user-id", "bench",
       "--token", "bench-token", "--query", "sim:stream=" + std::to_string(deltas) + " benchmark"},
      false);
  int status = 0;
  rusage usage{};
  ::wait4(client.pid, &status, 0, &usage);
  const auto end = std::chrono::steady_clock::now();
  Run run;
  run.cpu_ms = (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3 +
               (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
  run.wall_ms = std::chrono::duration<double, std::milli>(end - start).count();
  run.peak_kib = usage.ru_maxrss;
  run.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

fs::path beside_self(const char* argv0, const fs::path& relative) {
  std::error_code ec;
  const fs::path self = fs::canonical("/proc/self/exe", ec);
  return (ec ? fs::path(argv0).parent_path() : self.parent_path()) / relative;
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  int runs = 9;
  int deltas = 1000;
  std::string velmora = beside_self(argv[0], "../cli/quillon/velmora");
  std::string sim = beside_self(argv[0], "../tools/agent-sim/velmora-agent-sim");
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string key = argv[i];
    if (key == "--runs") runs = std::max(1, std::atoi(argv[i + 1]));
    if (key == "--deltas") deltas = std::max(1, std::atoi(argv[i + 1]));
    if (key == "--velmora") velmora = argv[i + 1];
    if (key == "--sim") sim = argv[i + 1];
  }

  // The client's settings come from its options alone: no .env, no saved login.
  const fs::path home = fs::temp_directory_path() / ("velmora-bench-" + std::to_string(::getpid()));
  fs::create_directories(home);
  ::setenv("HOME", home.c_str(), 1);
  ::setenv("XDG_CONFIG_HOME", (home / "config").c_str(), 1);
  ::setenv("XDG_STATE_HOME", (home / "state").c_str(), 1);
  ::unsetenv("VELMORA_OAUTH_BASE_URL");
  ::chdir(home.c_str());

  Child server = spawn({sim, "--port", "0"}, true);
  const auto port_line = read_line(server.out_fd);
  if (!port_line) {
    std::cerr << "the simulator reported no port\n";
    return 1;
  }
  const int port = std::stoi(*port_line);

  (void)run_once(velmora, port, deltas);  // warm caches: loader, page cache, SQLite file
  std::vector<double> cpu;
  std::vector<double> wall;
  long peak = 0;
  int failures = 0;
  for (int i = 0; i < runs; ++i) {
    const Run run = run_once(velmora, port, deltas);
    if (run.exit_code != 0) ++failures;
    cpu.push_back(run.cpu_ms);
    wall.push_back(run.wall_ms);
    peak = std::max(peak, run.peak_kib);
  }
  ::kill(server.pid, SIGTERM);
  ::waitpid(server.pid, nullptr, 0);
  std::error_code ec;
  fs::remove_all(home, ec);

  std::printf(
      "{\"bench\": \"session_roundtrip\", \"deltas\": %d, \"runs\": %d, \"failures\": %d, "
      "\"client_cpu_ms_median\": %.2f, \"client_cpu_ms_max\": %.2f, \"wall_ms_median\": %.2f, "
      "\"client_peak_rss_kib\": %ld}\n",
      deltas, runs, failures, median(cpu), *std::max_element(cpu.begin(), cpu.end()), median(wall),
      peak);
  return failures == 0 ? 0 : 1;
}
