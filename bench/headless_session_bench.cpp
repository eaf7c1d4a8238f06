// A persistent session against one-shot processes, same simulator, same run: N turns in one
// `velmora --input-format stream-json` against N `velmora --query` processes, both with
// `--output-format stream-json` on pipes, interleaved (a one-shot, then a turn) so the machine's
// load falls on both alike. CPU is the client process's user+sys time from wait4, never wall
// time; memory is the kernel's peak resident size (VmHWM). One line per figure, "name value":
//   headless.oneshot.client_cpu_ms                  median CPU of one one-shot process
//   headless.persistent.client_cpu_ms_per_turn      the session's whole CPU over its turns
//   headless.persistent_vs_oneshot.client_cpu_ratio the two above
//   headless.oneshot.first_delta_ms                 median, process start to the first delta line
//   headless.persistent.first_delta_ms              median, query line written to the first delta
//   headless.persistent_vs_oneshot.first_delta_ratio
//   headless.persistent.peak_rss_kib_10             peak resident memory after 10 turns
//   headless.persistent.peak_rss_kib_last           ... after the last turn
//   headless.persistent.peak_rss_last_vs_10_ratio   flat memory: close to 1
//
//   headless_session_bench [--turns N] [--deltas N]
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "bench_process.hpp"

namespace {

using Clock = std::chrono::steady_clock;
using velmora::bench::quantile;

double millis_since(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

/// Both ends of a pipe, closed on destruction.
struct Pipe {
  Pipe() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
    read_end = fds[0];
    write_end = fds[1];
  }
  ~Pipe() {
    close_read();
    close_write();
  }
  Pipe(const Pipe&) = delete;
  Pipe& operator=(const Pipe&) = delete;
  void close_read() {
    if (read_end >= 0) ::close(read_end);
    read_end = -1;
  }
  void close_write() {
    if (write_end >= 0) ::close(write_end);
    write_end = -1;
  }
  int read_end = -1;
  int write_end = -1;
};

/// Lines of a child's standard output.
class LineReader {
 public:
  explicit LineReader(int fd) : fd_(fd) {}

  /// The next line; nothing at the end of the output. Throws after 60 quiet seconds.
  std::optional<std::string> next() {
    while (true) {
      const auto end = buffer_.find('\n');
      if (end != std::string::npos) {
        std::string line = buffer_.substr(0, end);
        buffer_.erase(0, end + 1);
        return line;
      }
      pollfd ready{fd_, POLLIN, 0};
      const int polled = ::poll(&ready, 1, 60000);
      if (polled == 0) throw std::runtime_error("the client wrote nothing for 60 s");
      if (polled < 0 && errno == EINTR) continue;
      char chunk[65536];
      const ssize_t n = ::read(fd_, chunk, sizeof chunk);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return std::nullopt;
      buffer_.append(chunk, static_cast<std::size_t>(n));
    }
  }

 private:
  int fd_;
  std::string buffer_;
};

/// Reads one turn up to its result; the time from `start` to its first delta line.
double read_turn(LineReader& out, Clock::time_point start) {
  std::optional<double> first_delta;
  while (const auto line = out.next()) {
    if (!first_delta && line->find("\"type\": \"answer_delta\"") != std::string::npos) {
      first_delta = millis_since(start);
    }
    if (line->find("\"type\": \"result\"") == std::string::npos) continue;
    if (line->find("\"status\": \"success\"") == std::string::npos || !first_delta) {
      throw std::runtime_error("a turn failed: " + line->substr(0, 400));
    }
    return *first_delta;
  }
  throw std::runtime_error("the client's output ended before the turn's result");
}

struct Usage {
  double cpu_ms = 0;
  int exit_code = -1;
};

Usage reap(pid_t pid) {
  int status = 0;
  rusage usage{};
  while (::wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
  }
  const auto ms = [](const timeval& t) { return t.tv_sec * 1000.0 + t.tv_usec / 1000.0; };
  return {ms(usage.ru_utime) + ms(usage.ru_stime), WIFEXITED(status) ? WEXITSTATUS(status) : -1};
}

/// The process's peak resident memory so far.
long peak_rss_kib(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmHWM:", 0) == 0) return std::atol(line.c_str() + 6);
  }
  throw std::runtime_error("no VmHWM for the session process");
}

struct OneShot {
  double cpu_ms = 0;
  double first_delta_ms = 0;
};

OneShot run_one_shot(const velmora::bench::Sandbox& sandbox, const std::vector<std::string>& argv,
                     int quiet) {
  Pipe out;
  const auto start = Clock::now();
  const pid_t pid = sandbox.spawn(argv, out.write_end, quiet, false);
  out.close_write();
  LineReader reader(out.read_end);
  const double first_delta = read_turn(reader, start);
  while (reader.next()) {
  }
  const Usage usage = reap(pid);
  if (usage.exit_code != 0) throw std::runtime_error("a one-shot run failed");
  return {usage.cpu_ms, first_delta};
}

}  // namespace

int main(int argc, char** argv) {
  int turns = 100;
  int deltas = 20;
  CLI::App app("A persistent session against one-shot processes");
  app.add_option("--turns", turns)->check(CLI::Range(10, 1 << 20));
  app.add_option("--deltas", deltas)->check(CLI::PositiveNumber);
  CLI11_PARSE(app, argc, argv);
  try {
    const velmora::bench::Sandbox sandbox;
    const velmora::bench::Simulator sim(sandbox);
    std::vector<std::string> common = velmora::bench::client_command(sim);
    common.insert(common.end(), {"--output-format", "stream-json"});
    const std::string query = "sim:stream=" + std::to_string(deltas) + " benchmark";
    std::vector<std::string> one_shot = common;
    one_shot.insert(one_shot.end(), {"--query", query});
    std::vector<std::string> persistent = common;
    persistent.insert(persistent.end(), {"--input-format", "stream-json"});
    const std::string query_line = "{\"type\": \"query\", \"query\": \"" + query + "\"}\n";
    // The thread hints and notices people read are no part of the measure.
    const int quiet = ::open("/dev/null", O_WRONLY | O_CLOEXEC);

    // Warms the loader, the page cache and the saved-session database.
    (void)run_one_shot(sandbox, one_shot, quiet);

    Pipe in;
    Pipe out;
    const pid_t session = sandbox.spawn(persistent, out.write_end, quiet, false, in.read_end);
    in.close_read();
    out.close_write();
    LineReader session_out(out.read_end);

    std::vector<double> one_shot_cpu;
    std::vector<double> one_shot_delta;
    std::vector<double> session_delta;
    long rss_10 = 0;
    for (int turn = 1; turn <= turns; ++turn) {
      const OneShot run = run_one_shot(sandbox, one_shot, quiet);
      one_shot_cpu.push_back(run.cpu_ms);
      one_shot_delta.push_back(run.first_delta_ms);

      const auto start = Clock::now();
      if (::write(in.write_end, query_line.data(), query_line.size()) !=
          static_cast<ssize_t>(query_line.size())) {
        throw std::runtime_error("the query line could not be written");
      }
      session_delta.push_back(read_turn(session_out, start));
      if (turn == 10) rss_10 = peak_rss_kib(session);
    }
    const long rss_last = peak_rss_kib(session);
    in.close_write();
    while (session_out.next()) {
    }
    const Usage usage = reap(session);
    ::close(quiet);
    if (usage.exit_code != 0) throw std::runtime_error("the persistent session failed");

    const double per_turn = usage.cpu_ms / turns;
    const double one_shot_median = quantile(one_shot_cpu, 0.5);
    std::printf("headless.oneshot.client_cpu_ms %.2f\n", one_shot_median);
    std::printf("headless.persistent.client_cpu_ms_per_turn %.2f\n", per_turn);
    std::printf("headless.persistent_vs_oneshot.client_cpu_ratio %.3f\n",
                per_turn / one_shot_median);
    std::printf("headless.oneshot.first_delta_ms %.2f\n", quantile(one_shot_delta, 0.5));
    std::printf("headless.persistent.first_delta_ms %.2f\n", quantile(session_delta, 0.5));
    std::printf("headless.persistent_vs_oneshot.first_delta_ratio %.3f\n",
                quantile(session_delta, 0.5) / quantile(one_shot_delta, 0.5));
    std::printf("headless.persistent.peak_rss_kib_10 %ld\n", rss_10);
    std::printf("headless.persistent.peak_rss_kib_last %ld\n", rss_last);
    std::printf("headless.persistent.peak_rss_last_vs_10_ratio %.3f\n",
                static_cast<double>(rss_last) / static_cast<double>(rss_10));
  } catch (const std::exception& e) {
    std::fprintf(stderr, "headless_session_bench: %s\n", e.what());
    return 1;
  }
  return 0;
}
