#include "velmora/history_replay.hpp"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/json/parse.hpp>

#include "velmora/constants.hpp"

namespace {

using velmora::HistoryReplay;
using State = HistoryReplay::State;

constexpr double SHORT_WAIT = velmora::PROMPT_SHELL_REPLAY_IDLE_SECONDS;
constexpr double LONG_WAIT = velmora::PROMPT_SHELL_REPLAY_HARD_IDLE_SECONDS;

struct Machine {
  boost::asio::io_context io;
  velmora::base::Event prompt_ready{io.get_executor()};
  int started = 0;
  int released = 0;
  std::vector<bool> historical;
  HistoryReplay replay{
      io.get_executor(),
      prompt_ready,
      {.replay_started = [this] { ++started; }, .released = [this] { ++released; }}};

  void message(const char* json) {
    historical.push_back(
        replay.message(velmora::events::server_event(boost::json::parse(json).as_object()), false));
  }

  // One input per word: start:resumed, start:new, reconnect:history, reconnect:none,
  // bind:new, bind:known, bind:unsaid, visible, end, progress, resume_complete, quiet.
  void feed(const std::string& inputs) {
    std::istringstream words(inputs);
    for (std::string word; words >> word;) {
      if (word == "start:resumed") replay.start(true);
      if (word == "start:new") replay.start(false);
      if (word == "reconnect:history") replay.reconnect(true);
      if (word == "reconnect:none") replay.reconnect(false);
      if (word == "bind:new") replay.binding(true);
      if (word == "bind:known") replay.binding(false);
      if (word == "bind:unsaid") replay.binding(std::nullopt);
      if (word == "visible") message(R"({"type": "text", "content": "old"})");
      if (word == "end") message(R"({"type": "complete"})");
      if (word == "progress") message(R"({"type": "agent_thinking"})");
      if (word == "resume_complete") replay.resume_complete();
      if (word == "quiet") replay.idle_timeout();
    }
  }
};

TEST(HistoryReplay, TransitionsPerInput) {
  const struct {
    const char* inputs;
    State state;
    bool prompt_ready;
    std::optional<double> armed;  // the quiet period the timer waits for
  } rows[] = {
      // Start.
      {"start:new", State::none, true, std::nullopt},
      {"start:resumed", State::awaiting_binding, false, std::nullopt},
      // The binding decides.
      {"start:resumed bind:known", State::replaying, false, LONG_WAIT},
      {"start:resumed bind:new", State::released, true, std::nullopt},
      {"start:resumed bind:unsaid", State::released, true, std::nullopt},
      {"start:new bind:known", State::none, true, std::nullopt},
      // Replayed messages re-arm the timer: short until something visible shows, long while a
      // visible turn has not ended, short again after its end.
      {"start:resumed bind:known progress", State::replaying, false, SHORT_WAIT},
      {"start:resumed bind:known visible", State::replaying, false, LONG_WAIT},
      {"start:resumed bind:known visible end", State::replaying, false, SHORT_WAIT},
      // Release: the server's boundary, the quiet period, or a new thread bound meanwhile.
      {"start:resumed bind:known visible resume_complete", State::released, true, std::nullopt},
      {"start:resumed bind:known visible quiet", State::released, true, std::nullopt},
      {"start:resumed bind:known bind:new", State::released, true, std::nullopt},
      {"start:resumed bind:known bind:unsaid", State::replaying, false, LONG_WAIT},
      {"start:resumed bind:known visible bind:known", State::replaying, false, LONG_WAIT},
      // A boundary without a replay still frees the prompt.
      {"start:resumed resume_complete", State::released, true, std::nullopt},
      // A late timer after the release changes nothing.
      {"start:resumed bind:known resume_complete quiet", State::released, true, std::nullopt},
      // Reconnects hold the prompt until the new binding.
      {"start:new reconnect:history", State::awaiting_binding, false, std::nullopt},
      {"start:new reconnect:history bind:known", State::replaying, false, LONG_WAIT},
      {"start:new reconnect:none bind:known", State::released, true, std::nullopt},
      {"start:resumed bind:known visible reconnect:history", State::awaiting_binding, false,
       std::nullopt},
  };
  for (const auto& row : rows) {
    Machine m;
    m.feed(row.inputs);
    EXPECT_EQ(m.replay.state(), row.state) << row.inputs;
    EXPECT_EQ(m.prompt_ready.is_set(), row.prompt_ready) << row.inputs;
    EXPECT_EQ(m.replay.armed_idle_seconds(), row.armed) << row.inputs;
  }
}

TEST(HistoryReplay, OnlyReplayedMessagesAreHistoryAndHooksRunOncePerChange) {
  Machine m;
  m.feed("start:resumed visible bind:known visible end resume_complete visible");
  EXPECT_EQ(m.historical, (std::vector<bool>{false, true, true, false}));
  EXPECT_EQ(m.started, 1);
  EXPECT_EQ(m.released, 1);

  // The boundary itself is not history, even in the middle of a replay.
  Machine b;
  b.feed("start:resumed bind:known");
  EXPECT_FALSE(
      b.replay.message(velmora::events::server_event(
                           boost::json::parse(R"({"type": "resume_complete"})").as_object()),
                       false));
}

TEST(HistoryReplay, TheArmedTimerReleasesAfterItsQuietPeriod) {
  Machine m;
  m.feed("start:resumed bind:known progress");
  ASSERT_EQ(m.replay.armed_idle_seconds(), SHORT_WAIT);
  // Generous: only a hang fails this, not a slow machine.
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (m.released == 0 && std::chrono::steady_clock::now() < give_up) {
    m.io.run_one_for(std::chrono::milliseconds(100));
  }
  EXPECT_EQ(m.replay.state(), State::released);
  EXPECT_TRUE(m.prompt_ready.is_set());
  EXPECT_EQ(m.released, 1);
}

}  // namespace
