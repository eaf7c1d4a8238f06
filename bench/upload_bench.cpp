// Attachment upload end to end: a one-shot `velmora` run with a 200 MiB attachment against the
// simulator's File API (which parses and digests the body and keeps nothing), then a one-delta
// answer. One line per figure, "name value" (median of the runs; memory the largest seen):
//   upload.mib_per_second        file size / wall time of the whole run
//   upload.client_cpu_ms
//   upload.peak_rss_kib          the client's peak resident memory; the file is streamed, so it
//                                should not grow with --mib
//
//   upload_bench [--runs N] [--mib N]
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "bench_process.hpp"

namespace {

using velmora::bench::Output;
using velmora::bench::quantile;

// Random bytes, so nothing along the way gains from repetition.
void write_file(const std::filesystem::path& path, int mib) {
  std::ofstream out(path, std::ios::binary);
  std::mt19937_64 random(42);
  std::vector<std::uint64_t> block(std::size_t{1} << 17);  // 1 MiB
  for (int i = 0; i < mib; ++i) {
    for (auto& word : block) word = random();
    out.write(reinterpret_cast<const char*>(block.data()),
              static_cast<std::streamsize>(block.size() * sizeof(std::uint64_t)));
  }
  if (!out.flush()) throw std::runtime_error("cannot write " + path.string());
}

}  // namespace

int main(int argc, char** argv) {
  int runs = 3;
  int mib = 200;
  CLI::App app("A large attachment uploaded by a one-shot");
  app.add_option("--runs", runs)->check(CLI::PositiveNumber);
  app.add_option("--mib", mib)->check(CLI::PositiveNumber);
  CLI11_PARSE(app, argc, argv);
  try {
    const velmora::bench::Sandbox sandbox;
    const auto file = sandbox.dir() / "attachment.bin";
    write_file(file, mib);
    const velmora::bench::Simulator sim(sandbox);
    std::vector<std::string> client = velmora::bench::client_command(sim);
    client.insert(client.end(), {"--file-api-url", sim.http_url(), "--attachment", file.string(),
                                 "--query", "sim:stream=1 upload"});
    std::vector<double> rate;
    std::vector<double> cpu;
    long peak = 0;
    for (int i = 0; i < runs; ++i) {
      const auto run = sandbox.run(client, Output::pipe);
      if (run.exit_code != 0 ||
          run.output_tail.find("uploaded 1 attachment(s)") == std::string::npos) {
        std::fprintf(stderr, "upload_bench: run failed (status %d): %s\n", run.exit_code,
                     run.output_tail.c_str());
        return 1;
      }
      rate.push_back(mib / (run.wall_ms / 1e3));
      cpu.push_back(run.cpu_ms);
      peak = std::max(peak, run.peak_rss_kib);
    }
    std::printf("upload.mib_per_second %.1f\n", quantile(rate, 0.5));
    std::printf("upload.client_cpu_ms %.0f\n", quantile(cpu, 0.5));
    std::printf("upload.peak_rss_kib %ld\n", peak);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "upload_bench: %s\n", e.what());
    return 1;
  }
  return 0;
}
