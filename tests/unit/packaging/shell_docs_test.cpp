#include "velmora/shell_docs/shell_docs.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <CLI/CLI.hpp>

#include "test_support.hpp"
#include "velmora/options.hpp"

namespace {

namespace docs = velmora::shell_docs;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;
using velmora::testing::run_process;
using velmora::testing::TempDir;
using velmora::testing::write_file;

docs::ProgramDoc program_doc() {
  velmora::Options options;
  return docs::describe_command_line(*velmora::make_parser(options), "9.9.9");
}

const docs::OptionDoc* find(const std::vector<docs::OptionDoc>& options, const std::string& name) {
  for (const auto& option : options) {
    for (const auto& long_name : option.long_names) {
      if (long_name == name) return &option;
    }
  }
  return nullptr;
}

TEST(DescribeCommandLine, FollowsTheParser) {
  const auto doc = program_doc();
  EXPECT_EQ(doc.name, "velmora");
  EXPECT_EQ(doc.description, "Agent Loop CLI for websocket streaming messages.");
  std::vector<std::string> commands;
  for (const auto& command : doc.commands) commands.push_back(command.name);
  EXPECT_THAT(commands, ElementsAre("login", "logout", "run"));

  const auto* version = find(doc.options, "version");
  ASSERT_NE(version, nullptr);
  EXPECT_THAT(version->short_names, ElementsAre("v"));
  EXPECT_TRUE(version->ends_program);
  EXPECT_EQ(version->value_name, "");
  for (const auto* level : {&doc.options, &doc.commands[2].options}) {
    ASSERT_NE(find(*level, "attachment"), nullptr);
    EXPECT_EQ(find(*level, "attachment")->value_name, "FILE");
    EXPECT_EQ(find(*level, "attachments")->value_name, "FILES");
    EXPECT_EQ(find(*level, "debug")->value_name, "");
    EXPECT_EQ(find(*level, "url")->help, "WebSocket endpoint URL.");
  }
  // login and logout take nothing but --help.
  EXPECT_EQ(doc.commands[0].options.size(), 1u);
  EXPECT_EQ(find(doc.commands[2].options, "version"), nullptr);
}

TEST(DescribeCommandLine, RefusesNamesUnsafeInAShellScript) {
  CLI::App app{"d", "prog"};
  app.add_subcommand("x;rm", "evil");
  EXPECT_THROW((void)docs::describe_command_line(app, "1"), std::invalid_argument);
}

// Runs the generated bash completion as bash would on a Tab press at the last word.
std::vector<std::string> bash_complete(const std::string& script, const TempDir& dir,
                                       const std::vector<std::string>& words) {
  write_file(dir.path() / "velmora.bash", script);
  std::string line = "source ./velmora.bash; COMP_WORDS=(";
  for (const auto& word : words) line += "'" + word + "' ";
  line += "); COMP_CWORD=" + std::to_string(words.size() - 1) +
          "; _velmora; printf '%s\\n' \"${COMPREPLY[@]}\"";
  const auto result = run_process("/bin/bash", {.args = {"--norc", "-c", line}, .cwd = dir.path()});
  EXPECT_EQ(result.exit_code, 0) << result.err;
  std::vector<std::string> replies;
  std::size_t start = 0;
  for (std::size_t end; (end = result.out.find('\n', start)) != std::string::npos;
       start = end + 1) {
    if (end > start) replies.push_back(result.out.substr(start, end - start));
  }
  std::sort(replies.begin(), replies.end());
  return replies;
}

TEST(BashCompletion, CompletesCommandsOptionsAndFiles) {
  TempDir dir;
  write_file(dir.path() / "report one.txt", "");
  write_file(dir.path() / "notes.md", "");
  const auto script = docs::bash_completion(program_doc());
  struct Case {
    std::vector<std::string> words;
    std::vector<std::string> expected;
  } cases[] = {
      {{"velmora", ""}, {"login", "logout", "run"}},
      {{"velmora", "lo"}, {"login", "logout"}},
      {{"velmora", "--ver"}, {"--version"}},
      {{"velmora", "--de"}, {"--debug", "--default-freeform-answer"}},
      {{"velmora", "run", "--ur"}, {"--url"}},
      {{"velmora", "run", "--ver"}, {}},
      {{"velmora", "login", "--"}, {"--help"}},
      {{"velmora", "logout", "--u"}, {}},
      // A value is the user's own; a skipped value is not taken for the command.
      {{"velmora", "--url", ""}, {}},
      {{"velmora", "--url", "ws://x", ""}, {"login", "logout", "run"}},
      {{"velmora", "--url", "=", "ws://x", "run", "--q"}, {"--query"}},
      {{"velmora", "--token", "logout", "--u"}, {"--upgrade", "--url", "--user-id"}},
      // Files, also after "=" and in a comma-separated list.
      {{"velmora", "--attachment", "rep"}, {"report one.txt"}},
      {{"velmora", "run", "--attachment", "=", "no"}, {"notes.md"}},
      {{"velmora", "--attachment", "="}, {"notes.md", "report one.txt", "velmora.bash"}},
      {{"velmora", "--attachments", "notes.md,rep"}, {"notes.md,report one.txt"}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(bash_complete(script, dir, c.words), c.expected) << ::testing::PrintToString(c.words);
  }
}

TEST(Quoting, ZshExplanationsAndFishWords) {
  struct Case {
    std::string text, zsh, fish;
  } cases[] = {
      {"plain text.", "plain text.", "'plain text.'"},
      {"a [b] c", "a \\[b\\] c", "'a [b] c'"},
      {"key:value", "key\\:value", "'key:value'"},
      {"it's", "it'\\''s", "'it\\'s'"},
      {"back\\slash", "back\\\\slash", "'back\\\\slash'"},
      {"two\nlines", "two lines", "'two lines'"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(docs::zsh_explanation(c.text), c.zsh) << c.text;
    EXPECT_EQ(docs::fish_quote(c.text), c.fish) << c.text;
  }
}

// Single quotes read the same in bash and zsh: bash recovers each _arguments spec word.
TEST(ZshCompletion, SpecsSurviveTheShellsQuoting) {
  const auto doc = program_doc();
  const auto script = docs::zsh_completion(doc);
  EXPECT_THAT(script, ::testing::StartsWith("#compdef velmora\n"));
  const auto line_of = [&](const std::string& needle) {
    const auto at = script.find(needle);
    EXPECT_NE(at, std::string::npos) << needle;
    const auto begin = script.rfind('\n', at) + 1;
    return script.substr(begin, script.find(" \\\n", at) - begin);
  };
  const auto config = line_of("'*--config=[");
  const auto result = run_process("/bin/bash", {.args = {"--norc", "-c", "printf '%s' " + config}});
  EXPECT_EQ(result.out,
            "*--config=[Config object sent in query payload. Accepts JSON like "
            "'{\"devevaro_account\"\\:\"123\"}' or PowerShell-friendly object text like "
            "\"{devevaro_account\\:123}\".]:TEXT: ");
  const auto version = run_process(
      "/bin/bash", {.args = {"--norc", "-c", "printf '%s\\n' " + line_of("--version[")}});
  EXPECT_EQ(version.out, "(- : *)--version[Show the version and exit.]\n");
  EXPECT_THAT(script, HasSubstr("'*--attachment=[Local file path to upload and attach (repeat "
                                "for multiple files).]:FILE:_files'"));
  EXPECT_THAT(script, HasSubstr(":FILES:_sequence -s , _files'"));
}

TEST(FishCompletion, EveryOptionAtItsLevels) {
  const auto doc = program_doc();
  const auto script = docs::fish_completion(doc);
  EXPECT_THAT(script, HasSubstr("complete -c velmora -n __velmora_in_command -a login -d 'Log "
                                "in via browser OAuth flow.'\n"));
  EXPECT_THAT(script, HasSubstr("complete -c velmora -n __velmora_in_command -s v -l version -d "
                                "'Show the version and exit.'\n"));
  EXPECT_THAT(script, HasSubstr("complete -c velmora -n '__velmora_in_command run' -l "
                                "attachment -r -F -d "));
  EXPECT_THAT(script, HasSubstr("complete -c velmora -n '__velmora_in_command run' -l url -x -d "
                                "'WebSocket endpoint URL.'\n"));
  EXPECT_THAT(script, Not(HasSubstr("'__velmora_in_command login' -l url")));
  EXPECT_THAT(script, Not(HasSubstr("'__velmora_in_command run' -s v")));
}

TEST(RoffEscape, KeepsTextLiteral) {
  struct Case {
    std::string text, expected;
  } cases[] = {
      {"plain", "plain"},        {"--attachments file1,file2", "\\-\\-attachments file1,file2"},
      {"C:\\path", "C:\\epath"}, {".starts with a dot", "\\&.starts with a dot"},
      {"'quoted", "\\&'quoted"}, {"mid.dle it's", "mid.dle it's"},
      {"a\n.b", "a\n\\&.b"},
  };
  for (const auto& c : cases) EXPECT_EQ(docs::roff_escape(c.text), c.expected) << c.text;
}

TEST(ManPage, ListsCommandsOptionsAndExtraSections) {
  const auto page = docs::man_page(
      program_doc(), {{"Exit status", {{"2", "Bad usage."}, {"", ".dot paragraph"}}}});
  EXPECT_THAT(page, HasSubstr(".TH VELMORA 1 \"\" \"velmora 9.9.9\" \"User Commands\"\n"));
  EXPECT_THAT(page, HasSubstr(".SH NAME\nvelmora \\- Agent Loop CLI for websocket streaming "
                              "messages\n"));
  EXPECT_THAT(page, HasSubstr(".TP\n\\fBlogin\\fR\nLog in via browser OAuth flow.\n"));
  EXPECT_THAT(page, HasSubstr(".TP\n\\fB\\-v\\fR, \\fB\\-\\-version\\fR\nShow the version and "
                              "exit.\n"));
  EXPECT_THAT(page, HasSubstr(".TP\n\\fB\\-\\-attachment\\fR \\fIFILE\\fR\nLocal file path"));
  EXPECT_THAT(page, HasSubstr(".SH EXIT STATUS\n.TP\n\\fB2\\fR\nBad usage.\n.PP\n\\&.dot"));
  EXPECT_THAT(page, HasSubstr(".B velmora run\n[\\fIOPTIONS\\fR]\n"));
  // run shares every option with the top level: no section of its own.
  EXPECT_THAT(page, Not(HasSubstr(".SS")));
}

TEST(ManPage, RendersWithoutWarnings) {
  const auto groff = run_process("/bin/sh", {.args = {"-c", "command -v groff"}});
  ASSERT_EQ(groff.exit_code, 0) << "groff is not installed (scripts/setup installs groff-base)";
  TempDir dir;
  write_file(dir.path() / "velmora.1", docs::man_page(program_doc(), {}));
  const auto lint =
      run_process("groff", {.args = {"-man", "-ww", "-z", "velmora.1"}, .cwd = dir.path()});
  EXPECT_EQ(lint.exit_code, 0);
  EXPECT_EQ(lint.err, "");
  const auto text = run_process("groff", {.args = {"-man", "-Tascii", "-P", "-cbou", "velmora.1"},
                                          .env = {{"MANWIDTH", "200"}},
                                          .cwd = dir.path()});
  EXPECT_THAT(text.out, HasSubstr("--attachments FILES"));
  EXPECT_THAT(text.out, HasSubstr("WebSocket endpoint URL."));
}

}  // namespace
