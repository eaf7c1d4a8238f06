#include "velmora/term/keys.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using velmora::term::describe;
using velmora::term::Key;
using velmora::term::KeyDecoder;

std::vector<std::string> decode_all(const std::vector<std::string>& chunks, bool flush = true) {
  KeyDecoder decoder;
  std::vector<std::string> out;
  for (const auto& chunk : chunks) {
    decoder.feed(chunk);
    while (auto key = decoder.next()) out.push_back(describe(*key));
  }
  if (flush) {
    decoder.flush_escape();
    while (auto key = decoder.next()) out.push_back(describe(*key));
  }
  return out;
}

TEST(KeyDecoder, DecodesTheKeysTheEditorAndPanelsUse) {
  struct Case {
    const char* name;
    std::vector<std::string> chunks;
    std::vector<std::string> keys;
  };
  const std::vector<Case> cases = {
      {"arrows CSI and SS3", {"\x1b[A\x1b[B\x1bOC\x1bOD"}, {"up", "down", "right", "left"}},
      {"home and end spellings",
       {"\x1b[H\x1b[1~\x1b[7~\x1bOH\x1b[F\x1b[4~\x1b[8~\x1bOF"},
       {"home", "home", "home", "home", "end", "end", "end", "end"}},
      {"delete insert pages",
       {"\x1b[3~\x1b[2~\x1b[5~\x1b[6~"},
       {"delete", "insert", "pageup", "pagedown"}},
      {"enter tab backspace", {"\r\t\x7f\x08"}, {"enter", "tab", "backspace", "backspace"}},
      {"shift tab", {"\x1b[Z"}, {"s-tab"}},
      {"control letters",
       {"\x01\x05\x0b\x15\x17\x0c\x03\x04\x12\x0a"},
       {"C-a", "C-e", "C-k", "C-u", "C-w", "C-l", "C-c", "C-d", "C-r", "C-j"}},
      {"alt enter and alt letter",
       {"\x1b\r\x1b"
        "b"},
       {"M-enter", "M-'b'"}},
      {"ctrl arrows", {"\x1b[1;5C\x1b[1;5D"}, {"C-right", "C-left"}},
      {"utf-8 split across reads", {"\xe6\x97", "\xa5x"}, {"'日'", "'x'"}},
      {"invalid utf-8 becomes U+FFFD",
       {"\xff"
        "a"},
       {"'\xEF\xBF\xBD'", "'a'"}},
      {"sequence split across reads", {"\x1b", "[", "A"}, {"up"}},
      {"unknown sequences are swallowed whole",
       {"\x1b[15~x\x1b[?62;22cy"},
       {"unknown", "'x'", "unknown", "'y'"}},
      {"lone escape after the wait", {"\x1b"}, {"escape"}},
      {"escape escape", {"\x1b\x1b"}, {"escape", "escape"}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(decode_all(c.chunks), c.keys) << c.name;
  }
}

TEST(KeyDecoder, BracketedPasteIsOneKeyWithNormalisedLineBreaks) {
  const std::vector<std::vector<std::string>> spellings = {
      {"\x1b[200~line one\r\nline two\rthree\x1b[201~"},
      {"\x1b[200~line one\r", "\nline two\rthree\x1b[2", "01~"},
  };
  for (const auto& chunks : spellings) {
    EXPECT_EQ(decode_all(chunks, false),
              (std::vector<std::string>{"paste(line one\nline two\nthree)"}));
  }
}

TEST(KeyDecoder, PasteWithEscapesInsideStaysText) {
  EXPECT_EQ(decode_all({"\x1b[200~a\x1b[31mb\x1b[201~\r"}, false),
            (std::vector<std::string>{"paste(a\x1b[31mb)", "enter"}));
}

TEST(KeyDecoder, WaitsOnlyWhileASequenceMayStillComplete) {
  KeyDecoder decoder;
  decoder.feed("\x1b");
  EXPECT_TRUE(decoder.waiting());
  EXPECT_FALSE(decoder.next());
  decoder.feed("[");
  EXPECT_TRUE(decoder.waiting());
  decoder.feed("A");
  EXPECT_FALSE(decoder.waiting());
  EXPECT_EQ(describe(*decoder.next()), "up");
  decoder.feed("\x1b[200~partial");
  EXPECT_FALSE(decoder.waiting());  // a paste has no time limit
  EXPECT_TRUE(decoder.in_paste());
}

}  // namespace
