// Streamed answer deltas rendered to /dev/null in each output profile.
//
// 200 000 deltas (token-sized pieces of a Markdown answer with paragraphs, lists, code and
// tables) in turns of 2 000, each turn ended by the final text and "complete" as the agent
// sends them. Each profile runs in its own child process so its peak memory is its own.
// Prints one line per figure, "renderer.<profile>.<metric> value": deltas per second (wall clock),
// CPU seconds, peak resident memory, and resident growth between the first tenth of the run and its
// end (flat memory over a long session shows as a growth near zero).
//
//   renderer_bench [deltas]
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <boost/json/object.hpp>

#include "velmora/renderer/stream_renderer.hpp"

namespace {

using velmora::renderer::RendererOptions;
using velmora::renderer::StreamRenderer;

constexpr int DELTAS_PER_TURN = 2000;

/// Stands in for the terminal screen: takes the live lines and keeps nothing.
class DiscardingLive final : public velmora::term::LiveDisplay {
 public:
  void update(std::vector<std::string> lines) override { bytes_ += lines.size(); }
  void commit(std::vector<std::string> lines) override { bytes_ += lines.size(); }

 private:
  std::size_t bytes_ = 0;
};

const std::string& answer_source() {
  static const std::string text =
      "## Findings\n\nThe sync service retries **three times** before it gives up, and each "
      "retry waits a little longer than the one before. See [the runbook](https://docs.example."
      "test/sync) for the details.\n\n- First retry after `250 ms`\n- Second after 1 s\n  - "
      "only on idempotent calls\n- Third after 4 s\n\n```python\nfor attempt in range(3):\n    "
      "if send(batch):\n        break\n    sleep(backoff(attempt))\n```\n\n| Attempt | Delay | "
      "Share |\n|:--|--:|--:|\n| 1 | 250 ms | 71% |\n| 2 | 1 s | 22% |\n| 3 | 4 s | 7% |\n\n> "
      "Retries hide transient faults but not a broken peer.\n\n";
  return text;
}

long rss_kib() {
  std::ifstream statm("/proc/self/statm");
  long pages = 0, resident = 0;
  statm >> pages >> resident;
  return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

double cpu_seconds() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

void report(const char* profile, const char* metric, double value) {
  std::printf("renderer.%s.%s %.*f\n", profile, metric, value == static_cast<long>(value) ? 0 : 2,
              value);
  std::fflush(stdout);
}

void run_profile(const char* profile, int total) {
  const bool terminal = std::string(profile) == "terminal";
  const int null_fd = ::open("/dev/null", O_WRONLY);
  RendererOptions options;
  options.console = std::make_shared<velmora::term::Console>(
      terminal ? velmora::term::ConsoleOptions{.force_terminal = true,
                                               .no_color = false,
                                               .color_system = "truecolor"}
               : velmora::term::ConsoleOptions{.no_color = true},
      std::make_shared<velmora::term::FdSink>(null_fd));
  options.plain_output = !terminal;
  options.render_profile = terminal ? "terminal" : "im";
  options.one_shot = std::string(profile) == "im_one_shot";
  options.live_display = std::make_shared<DiscardingLive>();
  options.width = 100;
  StreamRenderer renderer(std::move(options));

  const std::string& source = answer_source();
  std::mt19937 random(7);
  std::uniform_int_distribution<std::size_t> piece(1, 8);
  std::size_t offset = 0;
  boost::json::object delta{{"type", "text_delta"}, {"message_id", ""}, {"delta", ""}};
  const boost::json::object complete{{"type", "complete"}, {"duration_ms", 1000}};

  long rss_early = 0;
  const double cpu_start = cpu_seconds();
  const auto start = std::chrono::steady_clock::now();
  for (int done = 0; done < total;) {
    renderer.reset_turn_state();
    const std::string id = "m" + std::to_string(done);
    delta["message_id"] = id;
    std::string whole;
    for (int k = 0; k < DELTAS_PER_TURN && done < total; ++k, ++done) {
      const std::size_t n = std::min(piece(random), source.size() - offset);
      const std::string chunk = source.substr(offset, n);
      offset = (offset + n) % source.size();
      whole += chunk;
      delta["delta"] = chunk;
      renderer.render(velmora::events::server_event(delta));
      if (done == total / 10) rss_early = rss_kib();
    }
    renderer.render(velmora::events::server_event(
        boost::json::object{{"type", "text"}, {"message_id", id}, {"content", whole}}));
    renderer.render(velmora::events::server_event(complete));
    renderer.flush_deferred_output();
  }
  const double wall =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const double cpu = cpu_seconds() - cpu_start;
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  report(profile, "deltas_per_second", total / wall);
  report(profile, "cpu_seconds", cpu);
  report(profile, "peak_rss_kib", static_cast<double>(usage.ru_maxrss));
  report(profile, "rss_growth_kib", static_cast<double>(rss_kib() - rss_early));
  ::close(null_fd);
}

}  // namespace

int main(int argc, char** argv) {
  const int total = argc > 1 ? std::max(std::atoi(argv[1]), 1) : 200000;
  for (const char* profile : {"terminal", "im_stream", "im_one_shot"}) {
    const pid_t child = ::fork();
    if (child == 0) {
      run_profile(profile, total);
      std::_Exit(0);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      std::fprintf(stderr, "renderer_bench: profile %s failed\n", profile);
      return 1;
    }
  }
  return 0;
}
