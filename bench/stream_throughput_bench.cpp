// Streamed answer throughput end to end: the real `velmora` one-shot run against the
// simulator's throughput mode (200 000 text deltas as fast as the client reads them, then
// "complete"), its output drained by this benchmark. Three ways of running it:
//   pipe_im        standard output is a pipe, so the plain IM profile (no escape codes)
//   pty_terminal   a pseudo-terminal: colour, live status line, Markdown rendered block by block
//   pty_im         a pseudo-terminal with --plain-output: the IM profile on a terminal
// One line per figure, "name value" (median of the runs; memory the largest seen):
//   stream.<way>.deltas_per_second     the goal is at least 50 000
//   stream.<way>.client_cpu_share      client CPU time / wall time: near 1 means the client is
//                                      the bottleneck, well below 1 means the server is
//   stream.<way>.output_bytes
//   stream.<way>.peak_rss_kib
//   stream.pty_terminal_long_block      a 10 MB answer in one unbroken paragraph against the same
//                                       bytes as 100-byte paragraphs, on the terminal: wall time
//                                       ratio (the growing block must not cost quadratic time)
//
//   stream_throughput_bench [--runs N] [--deltas N] [--only WAY]
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "bench_process.hpp"

namespace {

using velmora::bench::Output;
using velmora::bench::quantile;

struct Way {
  const char* name;
  Output output;
  bool plain_output;
};

constexpr Way WAYS[] = {
    {"pipe_im", Output::pipe, false},
    {"pty_terminal", Output::terminal, false},
    {"pty_im", Output::terminal, true},
};

}  // namespace

int main(int argc, char** argv) {
  int runs = 3;
  int deltas = 200000;
  std::string only;
  CLI::App app("Deltas per second streamed to a pipe and a pseudo-terminal");
  app.add_option("--runs", runs)->check(CLI::PositiveNumber);
  app.add_option("--deltas", deltas)->check(CLI::PositiveNumber);
  app.add_option("--only", only, "one way of the table, by name");
  CLI11_PARSE(app, argc, argv);
  try {
    const velmora::bench::Sandbox sandbox;
    // The long block first: its simulators end before the throughput one starts.
    if (only.empty() || only == "pty_terminal_long_block") {
      constexpr int LONG_BLOCK_DELTAS = 100000;  // 100 bytes each
      double wall_ms[2] = {0, 0};
      const char* shapes[2] = {"unbroken", "paragraphs"};
      for (int k = 0; k < 2; ++k) {
        const velmora::bench::Simulator shaped(
            sandbox,
            {"--throughput", std::to_string(LONG_BLOCK_DELTAS), "--throughput-text", shapes[k]});
        std::vector<std::string> client = velmora::bench::client_command(shaped);
        client.insert(client.end(), {"--query", "long"});
        std::vector<double> walls;
        for (int i = 0; i < runs; ++i) {
          const auto run = sandbox.run(client, Output::terminal);
          if (run.exit_code != 0) {
            std::fprintf(stderr, "stream_throughput_bench: long block (%s) failed (status %d)\n",
                         shapes[k], run.exit_code);
            return 1;
          }
          walls.push_back(run.wall_ms);
        }
        wall_ms[k] = quantile(walls, 0.5);
      }
      std::printf("stream.pty_terminal_long_block %.2f\n", wall_ms[0] / wall_ms[1]);
      std::fflush(stdout);
      if (only == "pty_terminal_long_block") return 0;
    }
    const velmora::bench::Simulator sim(sandbox, {"--throughput", std::to_string(deltas)});
    // Rendering may reflow text, but the last token always reaches the output.
    const std::string last_token = "token" + std::to_string(deltas - 1);

    for (const Way& way : WAYS) {
      if (!only.empty() && only != way.name) continue;
      std::vector<std::string> client = velmora::bench::client_command(sim);
      client.insert(client.end(), {"--query", "stream"});
      if (way.plain_output) client.emplace_back("--plain-output");
      std::vector<double> rate;
      std::vector<double> share;
      std::size_t bytes = 0;
      long peak = 0;
      for (int i = 0; i < runs; ++i) {
        const auto run = sandbox.run(client, way.output);
        if (run.exit_code != 0 || run.output_tail.find(last_token) == std::string::npos) {
          std::fprintf(stderr, "stream_throughput_bench: %s run failed (status %d)\n", way.name,
                       run.exit_code);
          return 1;
        }
        rate.push_back(deltas / (run.wall_ms / 1e3));
        share.push_back(run.cpu_ms / run.wall_ms);
        bytes = run.output_bytes;
        peak = std::max(peak, run.peak_rss_kib);
      }
      std::printf("stream.%s.deltas_per_second %.0f\n", way.name, quantile(rate, 0.5));
      std::printf("stream.%s.client_cpu_share %.2f\n", way.name, quantile(share, 0.5));
      std::printf("stream.%s.output_bytes %zu\n", way.name, bytes);
      std::printf("stream.%s.peak_rss_kib %ld\n", way.name, peak);
      std::fflush(stdout);
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "stream_throughput_bench: %s\n", e.what());
    return 1;
  }
  return 0;
}
