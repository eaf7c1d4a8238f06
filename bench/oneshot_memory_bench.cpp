// Peak memory of a one-shot run receiving a huge answer: the real `velmora` against the
// simulator's throughput mode (100-byte deltas adding up to the answer's size), each output way
// against the same way receiving a one-delta answer (the base). One line per figure:
//   memory.oneshot_<N>mib.<way>_vs_answer_ratio   (peak RSS - the base's peak RSS) / answer size
//   memory.oneshot_<N>mib.<way>_peak_rss_kib
//   memory.oneshot_base.<way>_peak_rss_kib
// Ways (the answer many paragraphs unless named):
//   plain              standard output a pipe: the IM profile, the answer held and written once
//   json, stream_json  --output-format json / stream-json on a pipe
//   im_terminal        a pseudo-terminal with --plain-output
//   terminal           a pseudo-terminal: the terminal profile, Markdown rendered block by block
//   terminal_code      the same, the answer one fenced code block of 100-byte lines
//   terminal_unbroken  the same, the answer one paragraph without a line break (printed in
//                      windows where it can be cut)
//
//   oneshot_memory_bench [--mib N] [--only WAY]
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

struct Way {
  const char* name;
  Output output;
  const char* shape;
  std::vector<std::string> options;
};

const Way WAYS[] = {
    {"plain", Output::pipe, "paragraphs", {}},
    {"json", Output::pipe, "paragraphs", {"--output-format", "json"}},
    {"stream_json", Output::pipe, "paragraphs", {"--output-format", "stream-json"}},
    {"im_terminal", Output::terminal, "paragraphs", {"--plain-output"}},
    {"terminal", Output::terminal, "paragraphs", {}},
    {"terminal_code", Output::terminal, "code", {}},
    {"terminal_unbroken", Output::terminal, "unbroken", {}},
};

constexpr std::size_t DELTA_BYTES = 100;

}  // namespace

int main(int argc, char** argv) {
  int mib = 60;
  std::string only;
  CLI::App app("Peak memory of one-shots receiving a large answer");
  app.add_option("--mib", mib)->check(CLI::PositiveNumber);
  app.add_option("--only", only, "one way of the table, by name");
  CLI11_PARSE(app, argc, argv);
  try {
    const velmora::bench::Sandbox sandbox;
    const std::size_t answer_bytes = static_cast<std::size_t>(mib) << 20;
    const std::size_t deltas = (answer_bytes + DELTA_BYTES - 1) / DELTA_BYTES;
    const std::string prefix = "memory.oneshot_" + std::to_string(mib) + "mib.";

    for (const Way& way : WAYS) {
      if (!only.empty() && only != way.name) continue;
      long peak[2] = {0, 0};
      const std::size_t counts[2] = {1, deltas};
      for (int k = 0; k < 2; ++k) {
        const velmora::bench::Simulator sim(
            sandbox, {"--throughput", std::to_string(counts[k]), "--throughput-text", way.shape});
        std::vector<std::string> client = velmora::bench::client_command(sim);
        client.insert(client.end(), {"--query", "answer"});
        client.insert(client.end(), way.options.begin(), way.options.end());
        const auto run = sandbox.run(client, way.output, 900);
        if (run.exit_code != 0) {
          std::fprintf(stderr, "oneshot_memory_bench: %s failed (status %d)\n", way.name,
                       run.exit_code);
          return 1;
        }
        peak[k] = run.peak_rss_kib;
      }
      const double ratio =
          static_cast<double>(peak[1] - peak[0]) * 1024.0 / static_cast<double>(answer_bytes);
      std::printf("memory.oneshot_base.%s_peak_rss_kib %ld\n", way.name, peak[0]);
      std::printf("%s%s_peak_rss_kib %ld\n", prefix.c_str(), way.name, peak[1]);
      std::printf("%s%s_vs_answer_ratio %.2f\n", prefix.c_str(), way.name, ratio);
      std::fflush(stdout);
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "oneshot_memory_bench: %s\n", e.what());
    return 1;
  }
  return 0;
}
