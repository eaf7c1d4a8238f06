#include "velmora/slash_completer.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "velmora/term/editor_state.hpp"

namespace {

using velmora::SlashCommandCompleter;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

std::vector<std::string> displays(std::string_view text) {
  SlashCommandCompleter completer;
  std::vector<std::string> out;
  for (const auto& c : completer.complete(text, text.size())) out.push_back(c.display);
  return out;
}

TEST(SlashCompleter, OffersCommandsForTheFirstWord) {
  struct Case {
    std::string text;
    std::vector<std::string> shown;
  };
  const std::vector<Case> cases = {
      {"/a", {"/attach <path>", "/attachments"}},
      {"/attach foo", {"/attach <path>", "/attachments"}},
      {"   /he", {"/help"}},
      {"/detach", {"/detach <index|all>"}},
      {"/resume abc", {"/resume <thread_id>"}},
      {"/EXIT", {}},
      {"/x", {}},
      {"/quit", {}},
      {"hello /help", {}},
      {"", {}},
      {"   ", {}},
  };
  for (const auto& c : cases) EXPECT_EQ(displays(c.text), c.shown) << '"' << c.text << '"';
}

TEST(SlashCompleter, SlashAloneOffersAllTwelveInTableOrderWithDescriptions) {
  SlashCommandCompleter completer;
  const auto all = completer.complete("/", 1);
  std::vector<std::string> inserted;
  std::vector<std::string> meta;
  for (const auto& c : all) {
    inserted.push_back(c.text);
    meta.push_back(c.meta);
  }
  EXPECT_THAT(inserted, ElementsAreArray({"/help", "/new", "/resume ", "/thread", "/attach ",
                                          "/attachments", "/detach ", "/clear", "/interrupt",
                                          "/upgrade", "/thinking", "/exit"}));
  EXPECT_EQ(meta.front(), "show available commands");
  EXPECT_EQ(meta.back(), "exit the shell");
}

TEST(SlashCompleter, ChoosingAnEntryReplacesTheCommandWordOnly) {
  SlashCommandCompleter completer;
  struct Case {
    std::string text;
    std::size_t cursor;
    std::string chosen;
    std::string result;
  };
  const std::vector<Case> cases = {
      {"/att", 4, "/attach <path>", "/attach "},
      {"  /res", 6, "/resume <thread_id>", "  /resume "},
      {"/attach foo", 11, "/attachments", "/attachments foo"},
      {"/attach foo", 11, "/attach <path>", "/attach foo"},
      {"/he", 3, "/help", "/help"},
  };
  for (const auto& c : cases) {
    const auto options = completer.complete(c.text, c.cursor);
    const auto found = std::find_if(options.begin(), options.end(),
                                    [&](const auto& o) { return o.display == c.chosen; });
    ASSERT_NE(found, options.end()) << c.text;
    EXPECT_EQ(velmora::term::apply_completion(c.text, c.cursor, *found).text(), c.result) << c.text;
  }
}

}  // namespace
