// Streamed answer deltas rendered to /dev/null in each output profile.
//
// 200 000 deltas (token-sized pieces of a Markdown answer with paragraphs, lists, code and
// tables) in turns of 2 000, each turn ended by the final text and "complete" as the agent
// sends them. Each profile runs in its own child process so its peak memory is its own.
// Prints one line per figure, "renderer.<profile>.<metric> value": deltas per second (wall clock),
// CPU seconds, peak resident memory, and resident growth between the first tenth of the run and its
// end (flat memory over a long session shows as a growth near zero). The profile
// terminal_unhighlighted is the terminal one with the answer's code block in a language no
// definition knows: the same work but the colouring. Both terminal profiles run with an event
// loop, as a session does, so blocks are coloured on the worker pool; .loop_cpu_seconds is the
// loop thread's own CPU time, and renderer.terminal.vs_unhighlighted_ratio (deltas per second of
// loop CPU time) shows what highlighting costs the stream on the loop's side.
//
// renderer.highlight_2000_lines: a finished answer holding a 2 000-line Python block printed on a
// true-colour terminal, median milliseconds of 15 runs after a warm-up (the definition loads
// once), against the same block in an unknown language printed plain: .ms, .plain_ms and
// .vs_plain_ratio. .loop_ms is what the same answer costs the event loop (its thread's CPU time)
// when the block is coloured on the worker pool: it lays the block out and hands it over.
//
//   renderer_bench [deltas]
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
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

const std::string& answer_source(bool highlighted = true) {
  static const std::string text =
      "## Findings\n\nThe sync service retries **three times** before it gives up, and each "
      "retry waits a little longer than the one before. See [the runbook](https://docs.example."
      "test/sync) for the details.\n\n- First retry after `250 ms`\n- Second after 1 s\n  - "
      "only on idempotent calls\n- Third after 4 s\n\n```python\nfor attempt in range(3):\n    "
      "if send(batch):\n        break\n    sleep(backoff(attempt))\n```\n\n| Attempt | Delay | "
      "Share |\n|:--|--:|--:|\n| 1 | 250 ms | 71% |\n| 2 | 1 s | 22% |\n| 3 | 4 s | 7% |\n\n> "
      "Retries hide transient faults but not a broken peer.\n\n";
  static const std::string unknown = [] {
    std::string copy = text;
    copy.replace(copy.find("```python"), 9, "```pythonx");
    return copy;
  }();
  return highlighted ? text : unknown;
}

long rss_kib() {
  std::ifstream statm("/proc/self/statm");
  long pages = 0, resident = 0;
  statm >> pages >> resident;
  return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

double cpu_seconds(clockid_t clock = CLOCK_PROCESS_CPUTIME_ID) {
  timespec ts{};
  clock_gettime(clock, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

/// Runs the loop until the renderer's output is out, as a session does before its next prompt.
void settle(boost::asio::io_context& loop, StreamRenderer& renderer) {
  bool settled = false;
  boost::asio::co_spawn(loop, renderer.settle_output(),
                        [&settled](const std::exception_ptr&) { settled = true; });
  while (!settled) {
    loop.restart();
    loop.run_one();
  }
}

void report(const char* profile, const char* metric, double value) {
  std::printf("renderer.%s.%s %.*f\n", profile, metric, value == static_cast<long>(value) ? 0 : 2,
              value);
  std::fflush(stdout);
}

std::shared_ptr<velmora::term::Console> console_to(int fd, bool terminal) {
  return std::make_shared<velmora::term::Console>(
      terminal ? velmora::term::ConsoleOptions{.force_terminal = true,
                                               .no_color = false,
                                               .color_system = "truecolor"}
               : velmora::term::ConsoleOptions{.no_color = true},
      std::make_shared<velmora::term::FdSink>(fd));
}

/// Deltas per second of each profile, written by its child process.
double* shared_rates = nullptr;

void run_profile(const char* profile, int total, int index) {
  const bool unhighlighted = std::string(profile) == "terminal_unhighlighted";
  const bool terminal = std::string(profile) == "terminal" || unhighlighted;
  const int null_fd = ::open("/dev/null", O_WRONLY);
  RendererOptions options;
  options.console = console_to(null_fd, terminal);
  options.plain_output = !terminal;
  options.render_profile = terminal ? "terminal" : "im";
  options.one_shot = std::string(profile) == "im_one_shot";
  options.live_display = std::make_shared<DiscardingLive>();
  options.width = 100;
  boost::asio::io_context loop;
  if (terminal) options.executor = loop.get_executor();
  StreamRenderer renderer(std::move(options));

  const std::string& source = answer_source(!unhighlighted);
  std::mt19937 random(7);
  std::uniform_int_distribution<std::size_t> piece(1, 8);
  std::size_t offset = 0;
  boost::json::object delta{{"type", "text_delta"}, {"message_id", ""}, {"delta", ""}};
  const boost::json::object complete{{"type", "complete"}, {"duration_ms", 1000}};

  long rss_early = 0;
  const double cpu_start = cpu_seconds();
  const double loop_cpu_start = cpu_seconds(CLOCK_THREAD_CPUTIME_ID);
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
      loop.poll();
      if (done == total / 10) rss_early = rss_kib();
    }
    renderer.render(velmora::events::server_event(
        boost::json::object{{"type", "text"}, {"message_id", id}, {"content", whole}}));
    renderer.render(velmora::events::server_event(complete));
    if (terminal) settle(loop, renderer);
    renderer.flush_deferred_output();
  }
  const double wall =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const double cpu = cpu_seconds() - cpu_start;
  const double loop_cpu = cpu_seconds(CLOCK_THREAD_CPUTIME_ID) - loop_cpu_start;
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  report(profile, "deltas_per_second", total / wall);
  shared_rates[index] = total / loop_cpu;
  report(profile, "cpu_seconds", cpu);
  report(profile, "loop_cpu_seconds", loop_cpu);
  report(profile, "peak_rss_kib", static_cast<double>(usage.ru_maxrss));
  report(profile, "rss_growth_kib", static_cast<double>(rss_kib() - rss_early));
  ::close(null_fd);
}

// Milliseconds to print a finished answer holding one 2 000-line block in `language`; with
// `background`, the event loop's part only (the block is coloured on the worker pool).
double block_ms(const std::string& language, bool background = false) {
  const int null_fd = ::open("/dev/null", O_WRONLY);
  RendererOptions options;
  options.console = console_to(null_fd, true);
  options.render_profile = "terminal";
  options.live_display = std::make_shared<DiscardingLive>();
  options.width = 100;
  boost::asio::io_context loop;
  if (background) options.executor = loop.get_executor();
  StreamRenderer renderer(std::move(options));
  std::string answer = "Here is the module:\n\n```" + language + "\n";
  for (int line = 0; line < 2000; ++line) {
    answer += line % 10 == 0   ? "# step " + std::to_string(line) + ": check the input\n"
              : line % 10 == 1 ? "def handler_" + std::to_string(line) + "(event, retries=3):\n"
              : line % 10 == 2
                  ? "    \"\"\"Handles one event.\"\"\"\n"
                  : "    total = compute(event['size'] * 0x1F, \"name\") + 42  # sum\n";
  }
  answer += "```\n";
  const auto once = [&](int k) {
    renderer.reset_turn_state();
    const auto start = std::chrono::steady_clock::now();
    const double loop_start = cpu_seconds(CLOCK_THREAD_CPUTIME_ID);
    renderer.render(velmora::events::server_event(boost::json::object{
        {"type", "text"}, {"message_id", "m" + std::to_string(k)}, {"content", answer}}));
    if (!background) renderer.flush_deferred_output();
    // The loop's part is its own CPU time: the worker colouring the block shares the cores.
    const double ms =
        background
            ? (cpu_seconds(CLOCK_THREAD_CPUTIME_ID) - loop_start) * 1000
            : std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                  .count();
    renderer.flush_deferred_output();
    loop.poll();
    return ms;
  };
  once(-1);
  std::vector<double> runs;
  for (int k = 0; k < 15; ++k) runs.push_back(once(k));
  std::sort(runs.begin(), runs.end());
  ::close(null_fd);
  return runs[runs.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  const int total = argc > 1 ? std::max(std::atoi(argv[1]), 1) : 200000;
  const double highlighted = block_ms("python");
  const double plain = block_ms("pythonx");
  report("highlight_2000_lines", "ms", highlighted);
  report("highlight_2000_lines", "plain_ms", plain);
  report("highlight_2000_lines", "vs_plain_ratio", highlighted / plain);
  void* shared = ::mmap(nullptr, 4 * sizeof(double), PROT_READ | PROT_WRITE,
                        MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (shared == MAP_FAILED) return 1;
  shared_rates = static_cast<double*>(shared);
  int index = 0;
  for (const char* profile : {"terminal", "terminal_unhighlighted", "im_stream", "im_one_shot"}) {
    const int slot = index++;
    const pid_t child = ::fork();
    if (child == 0) {
      run_profile(profile, total, slot);
      std::_Exit(0);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      std::fprintf(stderr, "renderer_bench: profile %s failed\n", profile);
      return 1;
    }
  }
  report("terminal", "vs_unhighlighted_ratio", shared_rates[0] / shared_rates[1]);
  // Last: the worker pool it starts would not survive into the profiles' forked processes.
  report("highlight_2000_lines", "loop_ms", block_ms("python", true));
  return 0;
}
