// The prompt shell in a real terminal (tmux) against the simulator: placeholder, toolbar,
// completion menu, answers streamed above the prompt, history, pastes, wide text and the
// commands that change what the prompt shows.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <set>
#include <sstream>

#include "session_machine.hpp"

namespace {

using session_e2e::PLACEHOLDER_LINE;
using session_e2e::sent_frames;
using session_e2e::session_args;
using session_e2e::SessionMachine;
using session_e2e::short_label;
using session_e2e::Terminal;
using ::testing::HasSubstr;
using ::testing::IsSupersetOf;
using ::testing::Not;
using velmora::testing::count_of;
using velmora::testing::has;
using velmora::testing::lines_of;
using velmora::testing::shown_after;
using velmora::testing::SimProcess;
namespace json = boost::json;

std::string last_row(const std::string& visible) {
  const auto lines = lines_of(visible);
  return lines.empty() ? std::string() : lines.back();
}

std::string bound_thread(const SimProcess& sim, std::size_t connection = 0) {
  return std::string(
      sim.wait_for_records("ws_open", connection + 1).at(connection).at("thread_id").as_string());
}

std::string toolbar(const std::string& language, const std::string& thread_id,
                    const std::string& attachments = "") {
  return "language " + language + " | thread " + short_label(thread_id) +
         (attachments.empty() ? "" : " | " + attachments) +
         " | type / for commands | /new fresh session";
}

/// The SGR parameters in effect for the first `text` on the styled screen (tmux writes the
/// sequences that change the style right before it).
std::set<int> style_before(const std::string& styled, const std::string& text) {
  std::set<int> codes;
  const auto at = styled.find(text);
  if (at == std::string::npos) return codes;
  auto start = at;
  while (start > 0) {
    const auto esc = styled.rfind('\x1b', start - 1);
    if (esc == std::string::npos) break;
    const auto end = styled.find('m', esc);
    if (end == std::string::npos || end + 1 != start) break;
    start = esc;
  }
  std::string params = styled.substr(start, at - start);
  for (char& c : params) {
    if (c < '0' || c > '9') c = ' ';
  }
  std::istringstream in(params);
  for (int code = 0; in >> code;) codes.insert(code);
  return codes;
}

std::vector<std::string> query_texts(const SimProcess& sim) {
  std::vector<std::string> texts;
  for (const auto& frame : sent_frames(sim)) {
    if (frame.at("type") == "query") texts.emplace_back(frame.at("query").as_string());
  }
  return texts;
}

TEST(ShellPrompt, PlaceholderToolbarAndCompletionMenu) {
  struct Size {
    int width;
    int height;
  };
  for (const Size size : {Size{80, 24}, Size{120, 40}}) {
    SCOPED_TRACE(std::to_string(size.width) + "x" + std::to_string(size.height));
    SimProcess sim({"--pace", "0"});
    SessionMachine machine;
    Terminal terminal(machine, session_args(sim, {"--language", "en"}), {}, size.width,
                      size.height);
    ASSERT_TRUE(terminal.started());
    const auto opened = terminal.wait_visible(PLACEHOLDER_LINE);
    ASSERT_TRUE(opened) << terminal.screen();
    const std::string thread_id = bound_thread(sim);
    EXPECT_EQ(last_row(*opened), toolbar("en", thread_id));
    // The placeholder is grey italic text behind a cursor that stays after "> ".
    EXPECT_EQ(terminal.pane_format("#{cursor_x}"), "2");
    const std::string styled = terminal.styled();
    EXPECT_THAT(style_before(styled, "Ask Velmora anything"), IsSupersetOf({3, 90}));
    EXPECT_THAT(style_before(styled, "language en"), IsSupersetOf({90, 40}));

    // "/" offers the twelve commands in their order, with their descriptions.
    terminal.type("/", false);
    const std::vector<std::string> menu = {"/help                show available commands",
                                           "/new                 open a fresh session",
                                           "/resume <thread_id>  resume a specific thread",
                                           "/thread              show current thread id",
                                           "/attach <path>       queue a local attachment",
                                           "/attachments         list queued attachments",
                                           "/detach <index|all>  remove queued attachments",
                                           "/clear               clear terminal output",
                                           "/interrupt           interrupt the running turn",
                                           "/upgrade             upgrade the CLI",
                                           "/thinking            list cached thinking blocks",
                                           "/exit                exit the shell"};
    const auto full = terminal.wait_until(
        [](const std::string& s) { return has(s, "/exit                exit the shell"); }, 30,
        true);
    ASSERT_TRUE(full) << terminal.visible();
    std::size_t previous = 0;
    for (const auto& entry : menu) {
      const auto at = full->find(entry);
      ASSERT_NE(at, std::string::npos) << entry << "\n" << *full;
      EXPECT_GT(at, previous) << entry;
      previous = at;
    }
    EXPECT_THAT(*full, Not(HasSubstr("/quit")));
    EXPECT_EQ(last_row(*full), toolbar("en", thread_id));

    // "/a" narrows the menu to the two attachment commands.
    terminal.type("a", false);
    const auto narrowed = terminal.wait_until(
        [](const std::string& s) {
          return !has(s, "show available commands") && has(s, "/attachments");
        },
        30, true);
    ASSERT_TRUE(narrowed) << terminal.visible();
    EXPECT_THAT(*narrowed, HasSubstr("/attach <path>  queue a local attachment"));
    EXPECT_THAT(*narrowed, HasSubstr("/attachments    list queued attachments"));
    EXPECT_EQ(count_of(*narrowed, "queue"), 2u) << *narrowed;

    // Tab takes the first entry; an argument keeps the menu on the command word.
    terminal.keys("Tab");
    ASSERT_TRUE(terminal.wait_visible("> /attach\n")) << terminal.visible();
    terminal.type("notes.txt", false);
    ASSERT_TRUE(terminal.wait_visible("> /attach notes.txt")) << terminal.visible();
    terminal.keys("C-u");
    ASSERT_TRUE(terminal.wait_until(
        [](const std::string& s) { return has(s, PLACEHOLDER_LINE) && !has(s, "/attachments"); },
        30, true))
        << terminal.visible();

    // Ctrl+D on the empty line ends the shell normally and leaves the terminal as it was.
    terminal.keys("C-d");
    EXPECT_EQ(terminal.wait_for_exit(), 0) << terminal.screen();
    EXPECT_EQ(terminal.stty_after(), terminal.stty_before());
    EXPECT_EQ(terminal.pane_format("#{cursor_flag}#{alternate_on}"), "10");
    EXPECT_TRUE(query_texts(sim).empty());
  }
}

TEST(ShellPrompt, AnswersStreamAboveThePromptWhichComesBack) {
  SimProcess sim({"--pace", "0.01", "--chunk-bytes", "8"});
  SessionMachine machine;
  Terminal terminal(machine, session_args(sim), {}, 80, 24);
  ASSERT_TRUE(terminal.wait_ready()) << terminal.screen();
  const std::string thread_id = bound_thread(sim);

  terminal.type("how do tides work");
  // The demo answer ends with a table; the prompt comes back below it.
  const auto answered = terminal.wait_prompt_after("│ Write the answer", 60);
  ASSERT_TRUE(answered) << terminal.screen();
  EXPECT_THAT(*answered, HasSubstr("> how do tides work\n"));
  EXPECT_THAT(*answered, HasSubstr("You asked: how do tides work"));
  // One prompt, one toolbar: nothing of the prompt was left behind while the answer streamed.
  EXPECT_EQ(count_of(*answered, "type / for commands |"), 1u) << *answered;
  EXPECT_EQ(count_of(*answered, PLACEHOLDER_LINE), 1u) << *answered;
  EXPECT_EQ(last_row(terminal.visible()), toolbar("-", thread_id));

  // Up brings the last line back; it is sent again as typed.
  terminal.keys("Up");
  ASSERT_TRUE(terminal.wait_until(
      [](const std::string& s) {
        return shown_after(s, "> how do tides work\n", "│ Write the answer");
      },
      30, true))
      << terminal.visible();
  terminal.type(" sim:stream=2");
  ASSERT_TRUE(terminal.wait_for("token1")) << terminal.screen();
  ASSERT_TRUE(sim.wait_for_record([](const json::object& r) {
    return r.at("event") == "ws_frame" && r.at("frame").at("type") == "query" &&
           r.at("frame").at("query") == "how do tides work sim:stream=2";
  }));
  ASSERT_TRUE(terminal.wait_prompt_after("token1"));
  EXPECT_EQ(terminal.exit_shell(), 0) << terminal.screen();
  EXPECT_EQ(query_texts(sim),
            std::vector<std::string>({"how do tides work", "how do tides work sim:stream=2"}));
}

TEST(ShellPrompt, ToolbarCountsQueuedAttachmentsUntilAQuerySendsThem) {
  SimProcess sim({"--pace", "0"});
  SessionMachine machine;
  velmora::testing::write_file(machine.home() / "a.txt", "first\n");
  velmora::testing::write_file(machine.home() / "b.md", "# second\n");
  Terminal terminal(machine, session_args(sim, {"--file-api-url", sim.http_url()}), {}, 120, 30);
  ASSERT_TRUE(terminal.wait_ready()) << terminal.screen();
  const std::string thread_id = bound_thread(sim);

  terminal.type("/attach a.txt");
  auto shown = terminal.wait_visible(toolbar("-", thread_id, "attachment 1 queued"));
  ASSERT_TRUE(shown) << terminal.visible();
  EXPECT_THAT(*shown, HasSubstr("queued attachment #1: a.txt"));
  terminal.type("/attach b.md");
  shown = terminal.wait_visible(toolbar("-", thread_id, "attachments 2 queued"));
  ASSERT_TRUE(shown) << terminal.visible();
  EXPECT_EQ(last_row(*shown), toolbar("-", thread_id, "attachments 2 queued"));

  terminal.type("read these sim:stream=2");
  ASSERT_TRUE(terminal.wait_for("uploaded 2 attachment(s)")) << terminal.screen();
  // Sent with that one query: the next prompt shows none queued.
  const auto after = terminal.wait_prompt_after("token1");
  ASSERT_TRUE(after) << terminal.screen();
  EXPECT_EQ(last_row(terminal.visible()), toolbar("-", thread_id));
  EXPECT_EQ(sim.records("upload").size(), 2u);
  const auto frames = sent_frames(sim);
  ASSERT_FALSE(frames.empty());
  EXPECT_EQ(frames.front().at("attachments").as_array().size(), 2u);
  EXPECT_EQ(terminal.exit_shell(), 0) << terminal.screen();
}

TEST(ShellPrompt, LongPasteStaysOneInputAndIsShownOnce) {
  SimProcess sim({"--pace", "0"});
  SessionMachine machine;
  Terminal terminal(machine, session_args(sim), {}, 80, 24);
  ASSERT_TRUE(terminal.wait_ready()) << terminal.screen();

  // Taller than the terminal, with wide characters on one line.
  std::string pasted;
  for (int i = 1; i <= 40; ++i) {
    if (i > 1) pasted += "\n";
    pasted += "pasted line " + std::to_string(i) + (i == 7 ? " 漢字かな混じり" : "");
  }
  terminal.paste(pasted);
  ASSERT_TRUE(terminal.wait_visible("  pasted line 40")) << terminal.visible();
  // The end of the input, where the cursor is, stays on screen with the toolbar below it.
  EXPECT_THAT(last_row(terminal.visible()), HasSubstr("| type / for commands |"));
  terminal.type(" sim:stream=1");
  ASSERT_TRUE(terminal.wait_prompt_after("token0")) << terminal.screen();
  EXPECT_EQ(query_texts(sim), std::vector<std::string>({pasted + " sim:stream=1"}));

  const std::string screen = terminal.screen();
  EXPECT_EQ(count_of(screen, "> pasted line 1\n"), 1u) << screen;
  for (int i = 2; i <= 40; ++i) {
    const std::string line = "  pasted line " + std::to_string(i) +
                             (i == 7    ? " 漢字かな混じり"
                              : i == 40 ? " sim:stream=1"
                                        : "") +
                             "\n";
    EXPECT_EQ(count_of(screen, line), 1u) << line << screen;
  }
  EXPECT_EQ(count_of(screen, "type / for commands |"), 1u) << screen;
  terminal.keys("C-d");
  EXPECT_EQ(terminal.wait_for_exit(), 0) << terminal.screen();
}

TEST(ShellPrompt, WideTextWrapsAtTheEdgeOfANarrowTerminal) {
  SimProcess sim({"--pace", "0"});
  SessionMachine machine;
  Terminal terminal(machine, session_args(sim), {}, 50, 20);
  ASSERT_TRUE(terminal.started());
  ASSERT_TRUE(terminal.wait_visible("> Ask Velmora")) << terminal.screen();

  // "> " and 24 two-column characters fill the first row; the 25th starts the next.
  std::string wide;
  for (int i = 0; i < 25; ++i) wide += "漢";
  terminal.type(wide, false);
  const auto shown = terminal.wait_visible("\n漢\n");
  ASSERT_TRUE(shown) << terminal.visible();
  EXPECT_THAT(*shown, HasSubstr("> " + wide.substr(0, 24 * 3) + "\n"));
  EXPECT_EQ(terminal.pane_format("#{cursor_x}"), "2");
  // The cursor moves by whole characters.
  terminal.keys("Left", "Left", "BSpace");
  const auto edited = terminal.wait_until(
      [&](const std::string& s) {
        return has(s, "> " + wide.substr(0, 24 * 3) + "\n") && !has(s, "\n漢\n");
      },
      30, true);
  ASSERT_TRUE(edited) << terminal.visible();
  EXPECT_EQ(terminal.pane_format("#{cursor_x}"), "46");
  terminal.keys("End");
  terminal.type(" sim:stream=1");
  ASSERT_TRUE(terminal.wait_for("token0")) << terminal.screen();
  EXPECT_EQ(query_texts(sim), std::vector<std::string>({wide.substr(0, 24 * 3) + " sim:stream=1"}));
  EXPECT_EQ(terminal.exit_shell(), 0) << terminal.screen();
}

TEST(ShellPrompt, CommandsThatChangeWhatTheShellShows) {
  SimProcess sim({"--pace", "0"});
  SessionMachine machine;
  Terminal terminal(machine, session_args(sim), {}, 100, 30);
  ASSERT_TRUE(terminal.wait_ready()) << terminal.screen();
  const std::string first = bound_thread(sim);

  terminal.type("/help");
  ASSERT_TRUE(terminal.wait_visible("/resume <thread_id>  resume a specific thread"))
      << terminal.visible();
  terminal.type("/thread");
  ASSERT_TRUE(terminal.wait_visible("thread_id=" + first + "\n")) << terminal.visible();
  terminal.type("/thinking");
  ASSERT_TRUE(terminal.wait_visible("No thinking recorded in this session yet."))
      << terminal.visible();

  // A turn's thinking is listed afterwards.
  terminal.type("think first");
  ASSERT_TRUE(terminal.wait_prompt_after("│ Write the answer")) << terminal.screen();
  terminal.type("/thinking");
  ASSERT_TRUE(terminal.wait_visible("The user asks: \"think first\"")) << terminal.visible();

  // /new binds a fresh thread: the toolbar names it.
  terminal.type("/new");
  const std::string fresh = bound_thread(sim, 1);
  ASSERT_NE(fresh, first);
  const auto renewed = terminal.wait_visible(toolbar("-", fresh));
  ASSERT_TRUE(renewed) << terminal.visible();
  EXPECT_THAT(*renewed, HasSubstr("started fresh session " + fresh));

  // /clear leaves the banner and the prompt on a clean screen.
  terminal.type("/clear");
  const auto cleared = terminal.wait_until(
      [](const std::string& s) { return !has(s, "started fresh session"); }, 30, true);
  ASSERT_TRUE(cleared) << terminal.visible();
  EXPECT_THAT(*cleared, HasSubstr("thread    " + fresh));
  EXPECT_THAT(*cleared, HasSubstr(PLACEHOLDER_LINE));
  EXPECT_EQ(last_row(*cleared), toolbar("-", fresh));
  EXPECT_EQ(count_of(*cleared, "type / for commands |"), 1u);
  EXPECT_EQ(terminal.exit_shell(), 0) << terminal.screen();
  EXPECT_EQ(terminal.stty_after(), terminal.stty_before());
}

TEST(ShellPrompt, CtrlLClearsTheScreenAndKeepsTheDraft) {
  SimProcess sim({"--pace", "0"});
  SessionMachine machine;
  Terminal terminal(machine, session_args(sim), {}, 80, 24);
  ASSERT_TRUE(terminal.wait_ready()) << terminal.screen();
  terminal.type("a draft", false);
  ASSERT_TRUE(terminal.wait_visible("> a draft")) << terminal.visible();
  terminal.keys("C-l");
  const auto cleared = terminal.wait_until(
      [](const std::string& s) { return !has(s, "Velmora CLI") && has(s, "> a draft"); }, 30, true);
  ASSERT_TRUE(cleared) << terminal.visible();
  EXPECT_EQ(lines_of(*cleared).front(), "> a draft");
  // What the terminal kept of the cleared screen has the banner, not a copy of the prompt.
  const std::string screen = terminal.screen();
  EXPECT_EQ(count_of(screen, "> a draft"), 1u) << screen;
  EXPECT_EQ(count_of(screen, "type / for commands |"), 1u) << screen;
  terminal.type(" sim:stream=1");
  ASSERT_TRUE(terminal.wait_for("token0")) << terminal.screen();
  EXPECT_EQ(query_texts(sim), std::vector<std::string>({"a draft sim:stream=1"}));
  terminal.keys("C-d");
  EXPECT_EQ(terminal.wait_for_exit(), 0) << terminal.screen();
}

}  // namespace

TEST(ShellPrompt, HistoryOutlivesTheShellAndShellsRunningAtOnceShareIt) {
  SimProcess sim({"--pace", "0"});
  SessionMachine machine;
  const auto history_file = machine.home() / "state" / "velmora" / "history";
  {
    // Two shells at once: each line is saved as it is submitted, in the order submitted.
    Terminal first(machine, session_args(sim), {}, 80, 24);
    Terminal second(machine, session_args(sim), {}, 80, 24);
    ASSERT_TRUE(first.wait_ready()) << first.screen();
    ASSERT_TRUE(second.wait_ready()) << second.screen();
    first.type("alpha sim:stream=1");
    ASSERT_TRUE(first.wait_prompt_after("token0", 60)) << first.screen();
    second.type("beta sim:stream=1");
    ASSERT_TRUE(second.wait_prompt_after("token0", 60)) << second.screen();
    EXPECT_EQ(first.exit_shell(), 0);
    EXPECT_EQ(second.exit_shell(), 0);
  }
  EXPECT_EQ(velmora::testing::read_file(history_file),
            "alpha sim:stream=1\nbeta sim:stream=1\n/exit\n/exit\n");
  struct stat st {};
  ASSERT_EQ(::stat(history_file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  // A later shell starts from it: Up walks back through both shells' lines (the repeated
  // "/exit" is one entry, as typed lines are).
  Terminal later(machine, session_args(sim), {}, 80, 24);
  ASSERT_TRUE(later.wait_ready()) << later.screen();
  later.keys("Up", "Up");
  ASSERT_TRUE(later.wait_visible("> beta sim:stream=1")) << later.screen();
  later.keys("Up");
  ASSERT_TRUE(later.wait_visible("> alpha sim:stream=1")) << later.screen();
  later.keys("C-u");
  // Ctrl+R searches the same history.
  later.keys("C-r");
  later.type("alp", false);
  ASSERT_TRUE(later.wait_visible("(reverse-i-search)`alp': alpha sim:stream=1")) << later.screen();
  later.keys("C-g", "C-u");
  EXPECT_EQ(later.exit_shell(), 0);

  // VELMORA_HISTORY=0: nothing read, nothing written.
  Terminal off(machine, session_args(sim), {{"VELMORA_HISTORY", "0"}}, 80, 24);
  ASSERT_TRUE(off.wait_ready()) << off.screen();
  off.keys("Up");
  off.type("gamma sim:stream=1");
  ASSERT_TRUE(off.wait_prompt_after("token0", 60)) << off.screen();
  EXPECT_EQ(off.exit_shell(), 0);
  EXPECT_EQ(query_texts(sim), std::vector<std::string>({"alpha sim:stream=1", "beta sim:stream=1",
                                                        "gamma sim:stream=1"}));
  EXPECT_EQ(velmora::testing::read_file(history_file),
            "alpha sim:stream=1\nbeta sim:stream=1\n/exit\n/exit\n/exit\n");
}
