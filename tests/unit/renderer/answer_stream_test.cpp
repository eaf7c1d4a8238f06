#include "answer_stream.hpp"

#include <gtest/gtest.h>

namespace {

using velmora::renderer::AnswerStream;

TEST(AnswerStream, ReleasesCompleteBlocksAndKeepsTheGrowingOne) {
  AnswerStream stream(true);
  EXPECT_EQ(stream.append("First para"), "");
  EXPECT_EQ(stream.append("graph.\n\nSec"), "");
  EXPECT_EQ(stream.pending(), "First paragraph.\n\nSec");
  EXPECT_EQ(stream.append("ond.\n"), "First paragraph.\n\n");
  EXPECT_EQ(stream.pending(), "Second.\n");
  EXPECT_EQ(stream.take_pending(), "Second.\n");
  EXPECT_EQ(stream.pending(), "");
}

TEST(AnswerStream, CodeFenceIsHeldUntilItCloses) {
  AnswerStream stream(true);
  EXPECT_EQ(stream.append("```\nline 1\n\nline 2\n"), "");
  EXPECT_EQ(stream.append("```\n"), "");
  EXPECT_EQ(stream.append("after\n"), "```\nline 1\n\nline 2\n```\n");
}

TEST(AnswerStream, SettlePrintsOnlyWhatWasNotStreamed) {
  struct Case {
    std::string name;
    std::vector<std::string> deltas;
    std::string content;
    std::string rest;
  };
  const std::vector<Case> cases{
      {"final text extends the stream",
       {"A.\n\nB", "\n\nC"},
       "A.\n\nB\n\nC and more",
       "B\n\nC and more"},
      {"final text equals the stream", {"A.\n\nB.\n"}, "A.\n\nB.\n", "B.\n"},
      {"final text without any deltas", {}, "whole", "whole"},
      {"final text disagrees with printed blocks",
       {"X.\n\nY.\n"},
       "Other answer.",
       "Other answer."},
  };
  for (const auto& c : cases) {
    AnswerStream stream(true);
    for (const auto& delta : c.deltas) stream.append(delta);
    EXPECT_EQ(stream.settle(c.content), c.rest) << c.name;
    EXPECT_EQ(stream.settle(c.content), "") << c.name << ": a resent final text prints nothing";
  }
}

TEST(AnswerStream, PlainStreamsReleaseEveryDelta) {
  AnswerStream stream(false);
  EXPECT_EQ(stream.append("Hel"), "Hel");
  EXPECT_EQ(stream.append("lo"), "lo");
  EXPECT_EQ(stream.settle("Hello world"), " world");
}

TEST(AnswerStream, KeepsLinkDefinitionsForLaterBlocks) {
  AnswerStream stream(true);
  stream.append("[ref]: https://d.test/r\n\nPara.\n\nNext\n");
  EXPECT_EQ(stream.definitions(), "[ref]: https://d.test/r\n");
}

TEST(AnswerStream, LargeCodeBlockStillReleasesWhenItEnds) {
  AnswerStream stream(true);
  std::string released;
  released += stream.append("```\n");
  for (int i = 0; i < 3000; ++i) released += stream.append("    x = " + std::to_string(i) + "\n");
  released += stream.append("```\n");
  released += stream.append("done\n");
  EXPECT_TRUE(released.starts_with("```\n    x = 0\n"));
  EXPECT_TRUE(released.ends_with("x = 2999\n```\n"));
  EXPECT_EQ(stream.pending(), "done\n");
}

}  // namespace
