// One-shot round trip against the local simulator: start, connect, query, 1 000 streamed
// deltas, complete, exit. Measures the client process alone from wait4's resource usage. One
// line per figure, "name value":
//   oneshot_roundtrip.client_cpu_ms        median CPU time of the whole run; the goal is < 20
//   oneshot_roundtrip.client_cpu_ms_max
//   oneshot_roundtrip.wall_ms              median, start to exit
//   oneshot_roundtrip.peak_rss_kib         largest peak resident memory; the goal is < 12 MiB
//
//   session_roundtrip_bench [--runs N] [--deltas N]
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>
#include <vector>

#include "bench_process.hpp"

namespace {

using velmora::bench::Output;
using velmora::bench::quantile;

}  // namespace

int main(int argc, char** argv) {
  int runs = 21;
  int deltas = 1000;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (i + 1 < argc && arg == "--runs") {
      runs = std::max(1, std::atoi(argv[++i]));
    } else if (i + 1 < argc && arg == "--deltas") {
      deltas = std::max(1, std::atoi(argv[++i]));
    } else {
      std::fprintf(stderr, "usage: session_roundtrip_bench [--runs N] [--deltas N]\n");
      return 2;
    }
  }
  try {
    const velmora::bench::Sandbox sandbox;
    const velmora::bench::Simulator sim(
        sandbox, velmora::bench::beside_self("../tools/agent-sim/velmora-agent-sim"), {});
    const std::vector<std::string> client = {velmora::bench::beside_self("../cli/velmora/velmora"),
                                             "--url",
                                             sim.ws_url(),
                                             "--user-id",
                                             "bench",
                                             "--token",
                                             "bench-token",
                                             "--query",
                                             "sim:stream=" + std::to_string(deltas) + " benchmark"};
    const std::string last_token = "token" + std::to_string(deltas - 1);

    std::vector<double> cpu;
    std::vector<double> wall;
    long peak = 0;
    // The first run warms the loader, the page cache and the saved-session database.
    for (int i = 0; i <= runs; ++i) {
      const auto run = sandbox.run(client, Output::pipe);
      if (run.exit_code != 0 || run.output_tail.find(last_token) == std::string::npos) {
        std::fprintf(stderr, "session_roundtrip_bench: run failed (status %d)\n", run.exit_code);
        return 1;
      }
      if (i == 0) continue;
      cpu.push_back(run.cpu_ms);
      wall.push_back(run.wall_ms);
      peak = std::max(peak, run.peak_rss_kib);
    }
    std::printf("oneshot_roundtrip.client_cpu_ms %.2f\n", quantile(cpu, 0.5));
    std::printf("oneshot_roundtrip.client_cpu_ms_max %.2f\n", quantile(cpu, 1.0));
    std::printf("oneshot_roundtrip.wall_ms %.2f\n", quantile(wall, 0.5));
    std::printf("oneshot_roundtrip.peak_rss_kib %ld\n", peak);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "session_roundtrip_bench: %s\n", e.what());
    return 1;
  }
  return 0;
}
