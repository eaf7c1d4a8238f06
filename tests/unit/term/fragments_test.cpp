// Panel text laid out in rows: words stay whole where they fit, and each fragment's first row is
// where its text really begins (the panels keep the focused option on screen by it).
#include "velmora/term/fragments.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace {

using velmora::term::Fragments;
using velmora::term::layout_fragments;
using velmora::term::StyleSheet;

std::vector<std::string> texts(const Fragments& fragments, int width,
                               std::vector<int>* starts = nullptr) {
  std::vector<std::string> out;
  for (const auto& row : layout_fragments(fragments, StyleSheet{}, width, true, starts)) {
    out.push_back(row.plain_text());
  }
  return out;
}

TEST(LayoutFragments, WrapsAtWordsAndCutsOnlyWordsLongerThanARow) {
  using ::testing::ElementsAre;
  EXPECT_THAT(texts({{"", "Type to search | Enter resume"}}, 12),
              ElementsAre("Type to ", "search | ", "Enter resume"));
  // A word across fragments of different styles moves whole.
  EXPECT_THAT(texts({{"class:a", "Press Ent"}, {"class:b", "er now"}}, 8),
              ElementsAre("Press ", "Enter ", "now"));
  EXPECT_THAT(texts({{"", "abcdefghijkl mn"}}, 5), ElementsAre("abcde", "fghij", "kl mn"));
  // Wide characters count two columns and are never split.
  EXPECT_THAT(texts({{"", "日本語 テキスト"}}, 8), ElementsAre("日本語 ", "テキスト"));
  // A blank that does not fit starts no row of its own; line breaks stay.
  EXPECT_THAT(texts({{"", "abcd efgh\nij"}}, 4), ElementsAre("abcd", "efgh", "ij"));
}

TEST(LayoutFragments, FragmentStartsFollowTheWordsThatMove) {
  std::vector<int> starts;
  const auto rows =
      texts({{"", "Choose one: "}, {"class:option", "alpha"}, {"", " "}, {"class:option", "beta"}},
            14, &starts);
  EXPECT_THAT(rows, ::testing::ElementsAre("Choose one: ", "alpha beta"));
  EXPECT_THAT(starts, ::testing::ElementsAre(0, 1, 1, 1));
}

}  // namespace
