// A minute of 10 000 frames per second into the shell: every frame shown once and in order,
// memory flat. Too slow
// for the default test run (label soak_tests); run it with `ctest --preset soak`.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "../e2e/session_machine.hpp"

namespace {

using session_e2e::session_args;
using session_e2e::SessionMachine;
using session_e2e::write_script;
using velmora::testing::SimProcess;

constexpr int RATE = 10'000;
constexpr int SECONDS = 60;
constexpr int FRAMES = RATE * SECONDS;
/// A stream that has not finished by then has stopped, however busy the machine.
constexpr double GIVE_UP_SECONDS = 6 * SECONDS;

/// Resident memory of `pid` in KiB, or -1 once it is gone.
long rss_kib(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string key;
  while (status >> key) {
    if (key == "VmRSS:") {
      long kib = -1;
      status >> kib;
      return kib;
    }
    status.ignore(4096, '\n');
  }
  return -1;
}

TEST(StreamMemorySoak, AMinuteAtTenThousandFramesPerSecondKeepsMemoryFlat) {
  SessionMachine machine;
  const std::string script = R"({"turns": [{"steps": [{"throughput": {"count": )" +
                             std::to_string(FRAMES) + R"(, "message_id": "soak", "rate": )" +
                             std::to_string(RATE) + R"(}}, {"complete": {}}]}]})";
  SimProcess sim({"--script", write_script(machine.home(), script).string()});

  velmora::testing::ProcessOptions options;
  options.args = session_args(sim);
  options.env = machine.env();
  // Freed memory goes back at once, so the sanitizer build measures the program, not its
  // quarantine.
  options.env["ASAN_OPTIONS"] = "quarantine_size_mb=0";
  options.cwd = machine.home();
  velmora::testing::ChildProcess child(VELMORA_BIN, options);
  child.write_stdin("soak\n");

  // A minute of streaming: output is read as it comes (a full pipe would slow the program
  // down) and memory sampled once a second. A busy machine may not keep the pace and take
  // longer; every frame must still be shown, once and in order. The limit only ends a run that
  // stopped streaming altogether.
  const auto started = std::chrono::steady_clock::now();
  const auto elapsed = [&] {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  };
  std::vector<std::pair<double, long>> samples;
  long next_token = 0;
  long out_of_order = 0;
  std::string first_wrong;
  double next_sample = 1;
  while (next_token < FRAMES && elapsed() < GIVE_UP_SECONDS) {
    const auto line = child.read_line(1);
    for (auto at = line ? line->find("token") : std::string::npos; at != std::string::npos;
         at = line->find("token", at + 5)) {
      const long shown = std::stol(line->substr(at + 5, 8));
      if (shown != next_token) {
        if (out_of_order++ == 0) {
          first_wrong = "frame " + std::to_string(shown) + " where " + std::to_string(next_token) +
                        " was due";
        }
      }
      ++next_token;
    }
    if (elapsed() >= next_sample) {
      samples.emplace_back(elapsed(), rss_kib(child.pid()));
      next_sample += 1;
    }
  }
  const double duration = elapsed();
  if (next_token < FRAMES) child.send_signal(SIGINT);
  child.write_stdin("/exit\n");
  const auto result = child.wait(120);
  EXPECT_EQ(result.exit_code, 0) << result.err;
  // Each frame's number is checked against its place: a frame missing, repeated or out of order
  // shifts every later one.
  EXPECT_EQ(next_token, FRAMES) << "frames shown before the stream stopped";
  EXPECT_EQ(out_of_order, 0) << first_wrong;

  // Growth from the end of the first ten seconds (start-up and first buffers done) to the end.
  long settled = 0;
  long highest = 0;
  std::string trace;
  for (const auto& [at, kib] : samples) {
    if (at <= 10) settled = kib;
    highest = std::max(highest, kib);
    trace += std::to_string(static_cast<int>(at)) + "s:" + std::to_string(kib) + " ";
  }
  ASSERT_GT(settled, 0);
  const long growth = highest - settled;
  std::printf(
      "soak.frames_shown %ld\nsoak.frames_per_second %.0f\nsoak.rss_settled_kib %ld\n"
      "soak.rss_growth_kib %ld\n",
      next_token, next_token / duration, settled, growth);
  RecordProperty("rss_growth_kib", std::to_string(growth));
  // A leak of even one byte per frame would show as 600 KB; the bound leaves room for allocator
  // noise.
  EXPECT_LT(growth, 4096) << trace;
}

}  // namespace
