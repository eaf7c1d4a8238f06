// Code blocks coloured off the event loop: the scrollback keeps the order of everything printed,
// each block reaches it once, and a block whose colours fail or never come prints plain.
#include <atomic>
#include <chrono>
#include <fstream>
#include <future>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>

#include "highlight_jobs.hpp"
#include "renderer_harness.hpp"
#include "test_support.hpp"
#include "velmora/base/async.hpp"

namespace {

using ::testing::HasSubstr;
using ::testing::Not;
using velmora::renderer::HighlightJobs;
using velmora::renderer::RendererOptions;
using velmora::renderer::StreamRenderer;
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

/// Runs the loop until `done` holds; the limit only keeps a broken build from hanging.
bool run_until(boost::asio::io_context& io, const std::function<bool()>& done) {
  const auto start = std::chrono::steady_clock::now();
  while (!done() && std::chrono::steady_clock::now() - start < std::chrono::seconds(60)) {
    if (io.stopped()) io.restart();
    io.run_one_for(std::chrono::milliseconds(50));
  }
  return done();
}

/// Awaits `awaitable` on the loop; the flag says when it has returned.
template <class Awaitable>
std::shared_ptr<bool> spawn_wait(boost::asio::io_context& io, Awaitable awaitable) {
  auto returned = std::make_shared<bool>(false);
  boost::asio::co_spawn(io, std::move(awaitable),
                        [returned](const std::exception_ptr& e) { *returned = !e; });
  return returned;
}

/// What a session does before it takes the terminal: awaits the renderer's output.
void settle(boost::asio::io_context& io, StreamRenderer& renderer) {
  const auto settled = spawn_wait(io, renderer.settle_output());
  EXPECT_TRUE(run_until(io, [&] { return *settled; }));
}

/// Keeps every worker of the pool waiting until released: queued ahead of them (more than the
/// pool has threads), a colouring job handed over afterwards waits too, for as long as the test
/// wants.
class WorkersHeld {
 public:
  WorkersHeld() {
    for (int k = 0; k < 16; ++k) {
      boost::asio::post(velmora::base::worker_pool(), [gate = gate_] { gate.wait(); });
    }
  }
  /// Released, and back only once each worker has finished what it took: a job left running
  /// must not outlive the test (it uses the highlighter the process tears down at exit).
  ~WorkersHeld() {
    release();
    // One marker per worker, each held until all have started: then no worker is busy elsewhere.
    constexpr int WORKERS = 4;
    auto arrived = std::make_shared<std::atomic<int>>(0);
    std::vector<std::future<void>> done;
    for (int k = 0; k < WORKERS; ++k) {
      auto marker = std::make_shared<std::promise<void>>();
      done.push_back(marker->get_future());
      boost::asio::post(velmora::base::worker_pool(), [arrived, marker] {
        ++*arrived;
        const auto start = std::chrono::steady_clock::now();
        while (*arrived < WORKERS &&
               std::chrono::steady_clock::now() - start < std::chrono::seconds(30)) {
          std::this_thread::yield();
        }
        marker->set_value();
      });
    }
    for (auto& marker : done) marker.wait();
  }
  WorkersHeld(const WorkersHeld&) = delete;
  WorkersHeld& operator=(const WorkersHeld&) = delete;
  void release() {
    if (released_) return;
    released_ = true;
    open_.set_value();
  }

 private:
  std::promise<void> open_;
  std::shared_future<void> gate_ = open_.get_future().share();
  bool released_ = false;
};

std::size_t count(const std::string& text, const std::string& needle) {
  std::size_t n = 0;
  for (auto at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
  return n;
}

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

  // Results never delivered before the end of the turn: the turn's end does not wait for them,
  // the session's wait does.
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
      if (k == TURN.size() - 1) {
        EXPECT_THAT(h.text(), Not(HasSubstr("def f")));
        EXPECT_TRUE(h.renderer->output_pending());
        settle(io, *h.renderer);
        EXPECT_FALSE(h.renderer->output_pending());
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

    // The end of a turn awaits both, the stuck one at most its own wait.
    delivered.clear();
    jobs.start(
        [released] {
          released.wait();
          return HighlightJobs::Result(1);
        },
        record("stuck"));
    jobs.start([] { return HighlightJobs::Result(3); }, record("done"));
    const auto finished = spawn_wait(io, jobs.finished());
    EXPECT_TRUE(run_until(io, [&] { return *finished; }));
    EXPECT_THAT(delivered, ::testing::UnorderedElementsAre("stuck:plain", "done:3"));
    EXPECT_FALSE(jobs.busy());
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
    if (background) settle(io, *h.renderer);
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

// Ctrl+C, then the turn's end, while a block is being coloured: neither waits, the loop serves
// its timers, and the block comes coloured in its place once its colours are made, with the cut
// mark, the session's own notice and the summary after it, each once.
TEST(BackgroundHighlight, TheLoopRunsWhileABlockIsColouredAndTheTurnEndsWithItColouredInOrder) {
  boost::asio::io_context io;
  WorkersHeld workers;
  Harness h(true, RendererOptions{.executor = io.get_executor(), .highlight_wait_seconds = 60});
  h.renderer->reset_turn_state();
  h.feed(TURN[0]);
  h.feed(TURN[1]);
  // Ctrl+C: the growing text (the Python block) is printed, so it goes to a worker.
  h.renderer->note_interrupt_sent();
  ASSERT_TRUE(h.renderer->output_pending());
  h.renderer->after_output(
      [&] { h.renderer->console()->print("[yellow]Interrupt sent.[/yellow]"); });
  h.feed(R"({"type": "complete", "duration_ms": 1500})");
  EXPECT_THAT(h.text(), HasSubstr("Intro line."));
  for (const char* later : {"def f", "(interrupted)", "Interrupt sent.", "interrupted after"}) {
    EXPECT_THAT(h.text(), Not(HasSubstr(later)));
  }

  const auto settled = spawn_wait(io, h.renderer->settle_output());
  bool ticked = false;
  boost::asio::steady_timer tick(io, std::chrono::milliseconds(0));
  tick.async_wait([&](const boost::system::error_code&) { ticked = true; });
  ASSERT_TRUE(run_until(io, [&] { return ticked; }));
  EXPECT_FALSE(*settled);
  EXPECT_THAT(h.text(), Not(HasSubstr("def f")));

  workers.release();
  ASSERT_TRUE(run_until(io, [&] { return *settled; }));
  const std::string out = tagged(h.take());
  std::size_t at = 0;
  for (const char* next : {"Intro line.", "{magenta}def{/}", "{magenta}return{/}", "After",
                           "(interrupted)", "Interrupt sent.", "interrupted after"}) {
    const auto found = out.find(next, at);
    ASSERT_NE(found, std::string::npos) << next << " in order in\n" << out;
    at = found;
  }
  for (const char* once : {"Intro line.", "# one", "(interrupted)", "Interrupt sent."}) {
    EXPECT_EQ(count(out, once), 1u) << once << " in\n" << out;
  }
}

// Colours that come after the block's wait: the block prints plain in its place, and the turn's
// wait ends then, not when the worker does.
TEST(BackgroundHighlight, ABlockWhoseColoursComeTooLatePrintsPlainInItsPlace) {
  boost::asio::io_context io;
  WorkersHeld workers;
  Harness h(true, RendererOptions{.executor = io.get_executor(), .highlight_wait_seconds = 0.05});
  const std::string out = run_turn(h, [&](std::size_t k) {
    if (k == TURN.size() - 1) settle(io, *h.renderer);
  });
  EXPECT_THAT(out, Not(HasSubstr("{magenta}def")));
  std::size_t at = 0;
  for (const char* next :
       {"Intro line.", "\ndef f(x):\n", "    return x + 1  # one\n", "Then:", "End.", "done in"}) {
    const auto found = out.find(next, at);
    ASSERT_NE(found, std::string::npos) << next << " in order in\n" << out;
    at = found;
  }
  EXPECT_EQ(count(out, "def f(x):"), 1u) << out;
}

}  // namespace
