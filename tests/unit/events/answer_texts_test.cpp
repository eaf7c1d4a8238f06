#include "velmora/events/answer_texts.hpp"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

namespace {

using velmora::events::AnswerTexts;
using velmora::events::ChunkedText;

std::string joined(const AnswerTexts& texts) {
  std::string text;
  velmora::events::for_each_answer_piece(texts, [&](std::string_view piece) { text += piece; });
  return text;
}

bool starts_character(char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }

TEST(AnswerTexts, AHugeAnswerIsHeldInPiecesCutBetweenCharacters) {
  // Deltas of two-, three- and four-byte characters that never line up with the chunk size.
  const std::string delta = "é€😀 ab\n";
  std::string whole;
  AnswerTexts texts;
  velmora::events::add_answer_text(texts, "m", "\n\n  ", false);
  whole += "\n\n  ";
  while (whole.size() < 3 * ChunkedText::CHUNK_BYTES) {
    velmora::events::add_answer_text(texts, "m", delta, false);
    whole += delta;
  }
  velmora::events::add_answer_text(texts, "m", "\n\n", false);
  whole += "\n\n";
  ASSERT_EQ(texts.size(), 1u);
  EXPECT_EQ(texts[0].second.size(), whole.size());
  EXPECT_EQ(texts[0].second.str(), whole);

  const std::vector<std::string_view> pieces = texts[0].second.trimmed_pieces();
  ASSERT_GE(pieces.size(), 3u) << "held in chunks, not one string";
  for (const std::string_view piece : pieces) {
    ASSERT_FALSE(piece.empty());
    EXPECT_TRUE(starts_character(piece.front())) << "a piece begins inside a character";
  }
  EXPECT_EQ(joined(texts), whole.substr(4, whole.size() - 4 - 3)) << "trimmed across chunks";
}

TEST(AnswerTexts, MessagesAreJoinedTrimmedAndAWholeTextReplacesTheStream) {
  AnswerTexts texts;
  velmora::events::add_answer_text(texts, "a", "First ", false);
  velmora::events::add_answer_text(texts, "b", " \n\t", false);
  velmora::events::add_answer_text(texts, "a", "part.\n", false);
  velmora::events::add_answer_text(texts, "c", "Other", false);
  velmora::events::add_answer_text(texts, "c", "Third.", true);
  EXPECT_EQ(joined(texts), "First part.\n\nThird.");
  EXPECT_TRUE(velmora::events::has_answer(texts));

  AnswerTexts blank;
  velmora::events::add_answer_text(blank, "a", "  \n", false);
  EXPECT_FALSE(velmora::events::has_answer(blank));
  EXPECT_EQ(joined(blank), "");
}

}  // namespace
