// One-shot round trip against the local simulator: start, connect, query, 1 000 streamed
// deltas, complete, exit. Measures the client process alone from wait4's resource usage, and
// the same one-shot by a minimal Python client (support/python_oneshot.py, Debian's
// python3-websockets) in the same rounds as the baseline. One line per figure, "name value":
//   oneshot_roundtrip.client_cpu_ms        median CPU time of the whole run
//   oneshot_roundtrip.client_cpu_ms_max
//   oneshot_roundtrip.wall_ms              median, start to exit
//   oneshot_roundtrip.peak_rss_kib         largest peak resident memory
//   oneshot_roundtrip.python_cpu_ms        the Python client's median CPU time
//   oneshot_roundtrip.python_wall_ms
//   oneshot_roundtrip.client_cpu_vs_python_ratio
//
//   session_roundtrip_bench [--runs N] [--deltas N] [--python PATH]
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

}  // namespace

int main(int argc, char** argv) {
  int runs = 21;
  int deltas = 1000;
  // Debian's interpreter, where python3-websockets is installed.
  std::string python = "/usr/bin/python3";
  CLI::App app("A one-shot round trip against a minimal Python client");
  app.add_option("--runs", runs)->check(CLI::PositiveNumber);
  app.add_option("--deltas", deltas)->check(CLI::PositiveNumber);
  app.add_option("--python", python, "the interpreter with the websockets module");
  CLI11_PARSE(app, argc, argv);
  try {
    const velmora::bench::Sandbox sandbox;
    const velmora::bench::Simulator sim(sandbox);
    std::vector<std::string> client = velmora::bench::client_command(sim);
    client.insert(client.end(), {"--query", "sim:stream=" + std::to_string(deltas) + " benchmark"});
    const std::vector<std::string> baseline = {
        python, PYTHON_ONESHOT_CLIENT, sim.ws_url(), "bench-token", "bench", client.back()};
    const std::string last_token = "token" + std::to_string(deltas - 1);

    std::vector<double> cpu;
    std::vector<double> wall;
    std::vector<double> python_cpu;
    std::vector<double> python_wall;
    long peak = 0;
    // The first round warms the loader, the page cache and the saved-session database.
    for (int i = 0; i <= runs; ++i) {
      const auto run = sandbox.run(client, Output::pipe);
      const auto other = sandbox.run(baseline, Output::pipe);
      for (const auto* result : {&run, &other}) {
        if (result->exit_code != 0 || result->output_tail.find(last_token) == std::string::npos) {
          std::fprintf(stderr, "session_roundtrip_bench: %s run failed (status %d)\n",
                       result == &run ? "velmora" : "python", result->exit_code);
          return 1;
        }
      }
      if (i == 0) continue;
      cpu.push_back(run.cpu_ms);
      wall.push_back(run.wall_ms);
      peak = std::max(peak, run.peak_rss_kib);
      python_cpu.push_back(other.cpu_ms);
      python_wall.push_back(other.wall_ms);
    }
    std::printf("oneshot_roundtrip.client_cpu_ms %.2f\n", quantile(cpu, 0.5));
    std::printf("oneshot_roundtrip.client_cpu_ms_max %.2f\n", quantile(cpu, 1.0));
    std::printf("oneshot_roundtrip.wall_ms %.2f\n", quantile(wall, 0.5));
    std::printf("oneshot_roundtrip.peak_rss_kib %ld\n", peak);
    std::printf("oneshot_roundtrip.python_cpu_ms %.2f\n", quantile(python_cpu, 0.5));
    std::printf("oneshot_roundtrip.python_wall_ms %.2f\n", quantile(python_wall, 0.5));
    std::printf("oneshot_roundtrip.client_cpu_vs_python_ratio %.3f\n",
                quantile(cpu, 0.5) / quantile(python_cpu, 0.5));
  } catch (const std::exception& e) {
    std::fprintf(stderr, "session_roundtrip_bench: %s\n", e.what());
    return 1;
  }
  return 0;
}
