#include "velmora/term/editor_state.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "velmora/term/text_width.hpp"

namespace {

using namespace velmora::term;

Key ch(std::string text) { return Key{.code = KeyCode::character, .text = std::move(text)}; }
Key k(KeyCode code) { return Key{.code = code}; }
Key ctrl(char letter) { return Key{.code = KeyCode::control, .letter = letter}; }
Key alt(Key key) {
  key.alt = true;
  return key;
}
Key paste(std::string text) { return Key{.code = KeyCode::paste, .text = std::move(text)}; }

/// Keys for each cluster of `text`.
std::vector<Key> type(std::string_view text) {
  std::vector<Key> keys;
  for (auto cluster : grapheme_clusters(text)) keys.push_back(ch(std::string(cluster)));
  return keys;
}

std::vector<Key> join(std::initializer_list<std::vector<Key>> parts) {
  std::vector<Key> out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

/// The buffer with "|" at the cursor.
std::string shown(const EditorState& state) {
  std::string text = state.buffer().text();
  text.insert(state.buffer().cursor(), "|");
  return text;
}

struct Case {
  const char* name;
  std::vector<Key> keys;
  std::string expected;
};

void run_cases(const std::vector<Case>& cases, History history = {},
               const Completer* completer = nullptr) {
  for (const auto& c : cases) {
    History h = history;
    EditorState state(h, completer);
    for (const auto& key : c.keys) state.handle(key);
    EXPECT_EQ(shown(state), c.expected) << c.name;
  }
}

TEST(EditorState, EditingKeys) {
  run_cases({
      {"typing", type("hello"), "hello|"},
      {"left then insert", join({type("helo"), {k(KeyCode::left)}, type("l")}), "hell|o"},
      {"backspace removes a whole cluster", join({type("ae\xcc\x81"), {k(KeyCode::backspace)}}),
       "a|"},
      {"wide characters step as one", join({type("日本語"), {k(KeyCode::left), k(KeyCode::left)}}),
       "日|本語"},
      {"home and ctrl-e", join({type("abc"), {k(KeyCode::home)}, type("X"), {ctrl('e')}}), "Xabc|"},
      {"delete at cursor", join({type("abc"), {ctrl('a'), k(KeyCode::delete_)}}), "|bc"},
      {"ctrl-k kills to end", join({type("abc def"), {ctrl('a'), ctrl('f'), ctrl('k')}}), "a|"},
      {"ctrl-u kills to start", join({type("abc def"), {ctrl('b'), ctrl('u')}}), "|f"},
      {"ctrl-w kills the word before", join({type("git commit -m"), {ctrl('w')}}), "git commit |"},
      {"ctrl-y yanks the kill", join({type("one two"), {ctrl('w'), ctrl('a'), ctrl('y')}}),
       "two|one "},
      {"alt-b and alt-f move by words",
       join({type("alpha beta gamma"), {alt(ch("b")), alt(ch("b"))}, type("X"), {alt(ch("f"))}}),
       "alpha Xbeta| gamma"},
      {"ctrl-left", join({type("alpha beta"), {Key{.code = KeyCode::left, .ctrl = true}}}),
       "alpha |beta"},
      {"alt-enter and ctrl-j start new lines",
       join({type("a"), {alt(k(KeyCode::enter))}, type("b"), {ctrl('j')}, type("c")}), "a\nb\nc|"},
      {"up and down move between lines keeping the column",
       join({type("abcd"), {ctrl('j')}, type("xy"), {k(KeyCode::up)}}), "ab|cd\nxy"},
      {"paste keeps line breaks and drops control bytes",
       {paste("line1\nline2\x1b[31m\x07 end")},
       "line1\nline2[31m end|"},
      {"ctrl-d deletes when there is text", join({type("ab"), {ctrl('a'), ctrl('d')}}), "|b"},
  });
}

TEST(EditorState, OutcomesOfEnterCtrlCAndCtrlD) {
  History history;
  EditorState state(history);
  EXPECT_EQ(state.handle(ctrl('d')), EditorAction::end_of_input);
  for (auto& key : type("hi")) state.handle(key);
  EXPECT_EQ(state.handle(ctrl('c')), EditorAction::interrupt);
  EXPECT_EQ(state.handle(ctrl('d')), EditorAction::none);
  EXPECT_EQ(state.handle(ctrl('l')), EditorAction::clear_screen);
  EXPECT_EQ(state.handle(k(KeyCode::enter)), EditorAction::accept);
  EXPECT_EQ(history.entries(), (std::vector<std::string>{"hi"}));
}

History three_entries() {
  History h;
  h.append("first query");
  h.append("/resume abc");
  h.append("second query");
  return h;
}

TEST(EditorState, HistoryRecallKeepsTheDraftAndEdits) {
  run_cases(
      {
          {"up recalls the newest", {k(KeyCode::up)}, "second query|"},
          {"up twice", {k(KeyCode::up), k(KeyCode::up)}, "/resume abc|"},
          {"up stops at the oldest",
           {k(KeyCode::up), k(KeyCode::up), k(KeyCode::up), k(KeyCode::up)},
           "first query|"},
          {"down comes back to the draft",
           join({type("draft"),
                 {k(KeyCode::up), k(KeyCode::up), k(KeyCode::down), k(KeyCode::down)}}),
           "draft|"},
          {"an edited entry keeps its edit while browsing",
           join({{k(KeyCode::up)}, type("!"), {k(KeyCode::up), k(KeyCode::down)}}),
           "second query!|"},
          {"ctrl-p and ctrl-n", {ctrl('p'), ctrl('p'), ctrl('n')}, "second query|"},
      },
      three_entries());
}

TEST(EditorState, HistoryKeepsNoBlanksOrRepeats) {
  History h;
  for (const char* line : {"a", "", "  ", "a", "b", "a"}) h.append(line);
  EXPECT_EQ(h.entries(), (std::vector<std::string>{"a", "b", "a"}));
}

TEST(EditorState, ReverseSearch) {
  run_cases(
      {
          {"finds the newest match with the cursor on it", join({{ctrl('r')}, type("query")}),
           "second |query"},
          {"ctrl-r again goes older", join({{ctrl('r')}, type("query"), {ctrl('r')}}),
           "first |query"},
          {"enter keeps the match for editing",
           join({{ctrl('r')}, type("res"), {k(KeyCode::enter)}}), "/|resume abc"},
          {"escape puts the line back",
           join({type("mine"), {ctrl('r')}, type("res"), {k(KeyCode::escape)}}), "mine|"},
          {"a failed search keeps the last match", join({{ctrl('r')}, type("firstX")}),
           "|first query"},
          {"a movement key ends the search and moves",
           join({{ctrl('r')}, type("abc"), {ctrl('e')}}), "/resume abc|"},
      },
      three_entries());
  History h = three_entries();
  EditorState state(h);
  state.handle(ctrl('r'));
  for (auto& key : type("zzz")) state.handle(key);
  EXPECT_TRUE(state.searching());
  EXPECT_TRUE(state.search_failed());
  EXPECT_EQ(state.search_query(), "zzz");
}

/// Offers words from a fixed list for the word before the cursor.
class WordCompleter : public Completer {
 public:
  std::vector<Completion> complete(std::string_view text, std::size_t cursor) const override {
    const auto before = text.substr(0, cursor);
    const auto space = before.rfind(' ');
    const std::size_t start = space == std::string_view::npos ? 0 : space + 1;
    const auto word = before.substr(start);
    std::vector<Completion> out;
    if (word.empty()) return out;
    for (const char* w : {"/attach ", "/attachments", "/help"}) {
      if (std::string_view(w).starts_with(word)) {
        out.push_back({w, start, cursor, std::string(w), "meta"});
      }
    }
    return out;
  }
};

TEST(EditorState, CompletionMenu) {
  WordCompleter completer;
  run_cases(
      {
          {"typing opens the menu without changing the text", type("/a"), "/a|"},
          {"tab selects the first entry", join({type("/a"), {k(KeyCode::tab)}}), "/attach |"},
          {"down walks the menu", join({type("/a"), {k(KeyCode::down), k(KeyCode::down)}}),
           "/attachments|"},
          {"walking past the end returns to the typed text",
           join({type("/a"), {k(KeyCode::tab), k(KeyCode::tab), k(KeyCode::tab)}}), "/a|"},
          {"shift-tab walks backwards", join({type("/a"), {k(KeyCode::backtab)}}), "/attachments|"},
          {"tab with one entry completes it",
           join({type("/h"), {k(KeyCode::escape), k(KeyCode::tab)}}), "/help|"},
      },
      {}, &completer);
  History history;
  EditorState state(history, &completer);
  for (auto& key : type("/a")) state.handle(key);
  EXPECT_EQ(state.menu().entries.size(), 2u);
  EXPECT_FALSE(state.menu().selected);
  state.handle(k(KeyCode::left));
  EXPECT_FALSE(state.menu().open());
}

TEST(EditorState, ApplyingACompletionKeepsWhatFollows) {
  const Completion attach{"/attach ", 0, 7, "/attach <path>", "queue"};
  struct Case {
    std::string text;
    std::size_t cursor;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"/att", 4, "/attach |"},
      {"/attach foo", 11, "/attach foo|"},
      {"/att foo", 4, "/attach| foo"},
  };
  for (const auto& c : cases) {
    Completion comp = attach;
    comp.replace_end = c.text.find(' ') == std::string::npos ? c.text.size() : c.text.find(' ');
    const LineBuffer b = apply_completion(c.text, c.cursor, comp);
    std::string s = b.text();
    s.insert(b.cursor(), "|");
    EXPECT_EQ(s, c.expected) << c.text;
  }
}

}  // namespace
