// Code blocks coloured off the event loop: the scrollback keeps the order of everything printed,
// each block reaches it once, and a block whose colours fail or never come prints plain.
#include <chrono>
#include <fstream>
#include <future>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <boost/asio/io_context.hpp>

#include "highlight_jobs.hpp"
#include "renderer_harness.hpp"
#include "test_support.hpp"

namespace {

using ::testing::HasSubstr;
using ::testing::Not;
using velmora::renderer::HighlightJobs;
using velmora::renderer::RendererOptions;
using velmora::renderer::testing::Harness;
using velmora::renderer::testing::tagged;

// Lines enough that the block is handed to a worker rather than coloured on the loop.
std::string long_body() {
  std::string body;
  for (int k = 0; k < 40; ++k) body += "    x = x + " + std::to_string(k) + "  # step\\n";
  return body;
}

// An answer streamed in pieces: prose, a long Python block, a tool call, more prose, a short
// JSON block and a block no definition knows, then the turn's end.
const std::vector<std::string> TURN{
    R"({"type": "text_delta", "message_id": "m1", "delta": "Intro line.\n\n```python\ndef f(x):\n"})",
    R"({"type": "text_delta", "message_id": "m1", "delta": ")" + long_body() +
        R"(    return x + 1  # one\n```\n\nAfter "})",
    R"({"type": "tool_execution", "tool_name": "Bash", "tool_id": "t1", "input": {"command": "ls"}})",
    R"({"type": "text_delta", "message_id": "m2", "delta": "Then:\n\n```json\n{\"a\": [1, \"b\"]}\n```\n\n"})",
    R"({"type": "text_delta", "message_id": "m2", "delta": "```nolang\nplain text\n```\n\nEnd."})",
    R"({"type": "complete", "duration_ms": 1500})"};

std::string run_turn(Harness& h, const std::function<void(std::size_t)>& between = {}) {
  h.renderer->reset_turn_state();
  for (std::size_t k = 0; k < TURN.size(); ++k) {
    h.feed(TURN[k]);
    if (between) between(k);
  }
  return tagged(h.take());
}

TEST(BackgroundHighlight, PrintsWhatTheSynchronousRendererPrintsInTheSameOrder) {
  Harness direct(true);
  const std::string expected = run_turn(direct);
  ASSERT_THAT(expected, HasSubstr("{magenta}def{/}"));
  ASSERT_THAT(expected, HasSubstr("{magenta}return{/}"));

  // Results never delivered before the end of the turn: the turn's end waits for them.
  {
    boost::asio::io_context io;
    Harness h(true, RendererOptions{.executor = io.get_executor()});
    const std::string out = run_turn(h, [&](std::size_t k) {
      if (k == 1) {
        // The Python block waits, its last lines shown plain in the live region.
        EXPECT_THAT(h.text(), HasSubstr("Intro line."));
        EXPECT_THAT(h.text(), Not(HasSubstr("def f")));
        std::string live;
        for (const auto& line : h.live->lines) live += line + "\n";
        EXPECT_THAT(live, HasSubstr("    return x + 1  # one"));
        EXPECT_THAT(tagged(live), Not(HasSubstr("{magenta}return")));
      }
      // What came after it waits behind it.
      if (k == TURN.size() - 2) {
        EXPECT_THAT(h.text(), Not(HasSubstr("Then:")));
      }
    });
    EXPECT_EQ(out, expected);
  }
  // Results delivered by the loop between events, as in a session.
  {
    boost::asio::io_context io;
    Harness h(true, RendererOptions{.executor = io.get_executor()});
    const std::string out = run_turn(h, [&](std::size_t) {
      io.run_for(std::chrono::milliseconds(20));
      io.restart();
    });
    EXPECT_EQ(out, expected);
    for (const auto& line : h.live->lines) EXPECT_THAT(line, Not(HasSubstr("def f")));
  }
}

TEST(BackgroundHighlight, JobsThatFailOrTakeTooLongGiveNothingInOrder) {
  boost::asio::io_context io;
  std::vector<std::string> delivered;
  std::promise<void> release;
  auto released = release.get_future().share();
  {
    HighlightJobs jobs(io.get_executor(), 0.2);
    const auto record = [&](std::string name) {
      return [&delivered, name](std::optional<HighlightJobs::Result> result) {
        delivered.push_back(name + (result ? ":" + std::to_string(result->size()) : ":plain"));
      };
    };
    jobs.start(
        [released] {
          released.wait();
          return HighlightJobs::Result(1);
        },
        record("slow"));
    jobs.start([]() -> HighlightJobs::Result { throw std::runtime_error("regex too complex"); },
               record("failed"));
    jobs.start([] { return HighlightJobs::Result(2); }, record("quick"));
    // The loop runs on while the slow job holds: the other two deliver, the slow one gives
    // nothing once its wait is over.
    const auto start = std::chrono::steady_clock::now();
    while (delivered.size() < 3 &&
           std::chrono::steady_clock::now() - start < std::chrono::seconds(30)) {
      io.run_one_for(std::chrono::milliseconds(50));
    }
    EXPECT_THAT(delivered,
                ::testing::UnorderedElementsAre("slow:plain", "failed:plain", "quick:2"));
    EXPECT_FALSE(jobs.busy());

    // The end of a turn: waits for each in start order, at most its own wait.
    delivered.clear();
    jobs.start(
        [released] {
          released.wait();
          return HighlightJobs::Result(1);
        },
        record("stuck"));
    jobs.start([] { return HighlightJobs::Result(3); }, record("done"));
    jobs.finish();
    EXPECT_THAT(delivered, ::testing::ElementsAre("stuck:plain", "done:3"));
  }
  release.set_value();
}

TEST(BackgroundHighlight, ADefinitionThatFailsIsToldOnceUnderDebugAndItsBlocksPrintPlain) {
  velmora::testing::TempDir dir;
  std::ofstream(dir.path() / "lang.map") << "broken = broken.lang\npy = python.lang\n";
  std::ofstream(dir.path() / "broken.lang") << "keyword = \"unterminated\nstate x = begin\n";
  std::ofstream(dir.path() / "python.lang") << "keyword = \"def\"\n";
  for (const bool background : {false, true}) {
    SCOPED_TRACE(background);
    boost::asio::io_context io;
    RendererOptions options{.debug = true, .language_dir = dir.path()};
    if (background) options.executor = io.get_executor();
    Harness h(true, options);
    h.renderer->reset_turn_state();
    h.feed(
        R"({"type": "text", "message_id": "m1", "content": "```broken\nbegin x\n```\n\n```broken\ny\n```\n\n```py\ndef z\n```"})");
    h.feed(R"({"type": "complete"})");
    const std::string out = tagged(h.take());
    const auto first = out.find("debug: language definition broken.lang");
    // Told once per run: the second renderer shares the process's highlighter.
    if (!background) {
      ASSERT_NE(first, std::string::npos) << out;
      EXPECT_EQ(out.find("debug: language definition", first + 1), std::string::npos) << out;
    } else {
      EXPECT_EQ(first, std::string::npos) << out;
    }
    EXPECT_THAT(out, HasSubstr("\nbegin x\n"));
    EXPECT_THAT(out, HasSubstr("\ny\n"));
    EXPECT_THAT(out, HasSubstr("{magenta}def{/} z"));
  }
}

}  // namespace
