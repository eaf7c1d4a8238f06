#include "velmora/dotenv.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>

#include "test_support.hpp"
#include "velmora/platform/env.hpp"

namespace {

using velmora::DotenvEntry;
using velmora::parse_dotenv;

std::map<std::string, std::string> values_of(std::string_view text,
                                             std::map<std::string, std::string> env = {}) {
  const auto parsed =
      parse_dotenv(text, [&](const std::string& name) -> std::optional<std::string> {
        const auto it = env.find(name);
        if (it == env.end()) return std::nullopt;
        return it->second;
      });
  std::map<std::string, std::string> out;
  for (const auto& entry : parsed.entries) out.emplace(entry.key, entry.value);
  return out;
}

TEST(DotenvParse, ValueForms) {
  struct Case {
    const char* text;
    const char* key;
    const char* expected;
  };
  const std::vector<Case> cases = {
      {"A=1", "A", "1"},
      {"  export   A = spaced value  ", "A", "spaced value"},
      {"A=x # comment", "A", "x"},
      {"A=x#not-a-comment", "A", "x#not-a-comment"},
      {"A=#leading", "A", "#leading"},
      {"A='lit ${HOME} \\n # x'", "A", "lit ${HOME} \\n # x"},
      {"A=\"a\\nb\\tc\\\"d\\\\e\\$f\"  # c", "A", "a\nb\tc\"d\\e$f"},
      {"A=\"unknown \\q escape\"", "A", "unknown \\q escape"},
      {"A=\"line1\nline2\"", "A", "line1\nline2"},
      {"A='multi\nline'", "A", "multi\nline"},
      {"A=", "A", ""},
      {"A=\"\"", "A", ""},
      {"A=1\r\nB=2\r\n", "A", "1"},
      {"\xEF\xBB\xBF"
       "BOM=1",
       "BOM", "1"},
      {"dotted.name-x=ok", "dotted.name-x", "ok"},
      {"export=7", "export", "7"},
  };
  for (const auto& c : cases) {
    const auto values = values_of(c.text);
    ASSERT_TRUE(values.contains(c.key)) << c.text;
    EXPECT_EQ(values.at(c.key), c.expected) << c.text;
  }
}

TEST(DotenvParse, ExpandsFromEnvironmentBeforeEarlierLines) {
  const auto values = values_of(
      "BASE=http://file\n"
      "HOST=ignored\n"
      "URL=${BASE}/api\n"
      "WS=\"${HOST}:${PORT:-8080}\"\n"
      "RAW='${BASE}'\n"
      "MISSING=[${NOPE}]\n"
      "KEEP=$BASE ${unclosed\n"
      "ESC=\"\\${BASE}\"\n",
      {{"HOST", "env-host"}});
  EXPECT_EQ(values.at("URL"), "http://file/api");
  EXPECT_EQ(values.at("WS"), "env-host:8080");
  EXPECT_EQ(values.at("RAW"), "${BASE}");
  EXPECT_EQ(values.at("MISSING"), "[]");
  EXPECT_EQ(values.at("KEEP"), "$BASE ${unclosed");
  EXPECT_EQ(values.at("ESC"), "${BASE}");
}

TEST(DotenvParse, MalformedLinesAreSkippedAndTheRestKept) {
  const auto parsed = parse_dotenv(
      "# header\n"
      "\n"
      "GOOD=1\n"
      "no equals sign here\n"
      "BAD='unclosed\n"
      "9STARTS_WITH_DIGIT=1\n"
      "Q=\"closed\" trailing\n"
      "BARE\n"
      "LAST=2",
      nullptr);
  std::vector<std::string> keys;
  for (const auto& entry : parsed.entries) keys.push_back(entry.key);
  EXPECT_THAT(keys, ::testing::ElementsAre("GOOD", "LAST"));
  EXPECT_THAT(parsed.skipped_lines, ::testing::ElementsAre(4, 5, 6, 7));
}

TEST(DotenvParse, LineNumbersCountMultiLineValues) {
  const auto parsed = parse_dotenv("A=\"x\ny\nz\"\nbroken line\n", nullptr);
  EXPECT_THAT(parsed.skipped_lines, ::testing::ElementsAre(4));
}

TEST(DotenvLoad, NeverOverridesAndIgnoresMissingFiles) {
  velmora::testing::TempDir dir;
  velmora::testing::ScopedEnv env;
  env.set("DOTENV_TEST_SET", "from-env");
  env.set("DOTENV_TEST_EMPTY", "");
  env.unset("DOTENV_TEST_NEW");
  env.unset("DOTENV_TEST_DERIVED");
  velmora::testing::write_file(dir.path() / ".env",
                               "DOTENV_TEST_SET=from-file\n"
                               "DOTENV_TEST_EMPTY=from-file\n"
                               "DOTENV_TEST_NEW=new\n"
                               "DOTENV_TEST_NEW=second\n"
                               "DOTENV_TEST_DERIVED=${DOTENV_TEST_SET}+${DOTENV_TEST_NEW}\n");
  velmora::load_dotenv(dir.path() / ".env");
  EXPECT_EQ(velmora::platform::get_env("DOTENV_TEST_SET"), "from-env");
  EXPECT_EQ(velmora::platform::get_env("DOTENV_TEST_EMPTY"), "");
  EXPECT_EQ(velmora::platform::get_env("DOTENV_TEST_NEW"), "second");
  EXPECT_EQ(velmora::platform::get_env("DOTENV_TEST_DERIVED"), "from-env+second");

  velmora::load_dotenv(dir.path() / "absent.env");
  velmora::load_dotenv(dir.path());  // a folder, not a file
}

}  // namespace
