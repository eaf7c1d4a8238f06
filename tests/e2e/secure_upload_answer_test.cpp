// A File API that echoes the request back in its answer: whatever part of the answer reaches the
// screen, the token in it shows only in its debug form.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "session_machine.hpp"

namespace {

using session_e2e::session_args;
using session_e2e::SessionMachine;
using ::testing::HasSubstr;
using ::testing::Not;

TEST(SecureUploadAnswers, AnAnswerEchoingTheTokenShowsOnlyItsDebugForm) {
  const std::string token(velmora::testing::SESSION_TOKEN);
  const std::string echo = R"({"detail": {"request": {"headers": {"x-user-token": ")" + token +
                           R"("}, "form": "token=)" + token + R"("}}})";
  const struct {
    const char* name;
    std::vector<std::string> sim_args;
    std::vector<std::string> more;
    const char* expected;
  } cases[] = {
      {"a refusal", {"--upload-status", "500", "--upload-body", echo}, {}, "Upload failed (500)"},
      {"an answer without a path, under --debug",
       {"--upload-status", "200", "--upload-body", echo},
       {"--debug"},
       "Upload response missing relative_path"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    velmora::testing::SimProcess sim(c.sim_args);
    SessionMachine machine;
    velmora::testing::write_file(machine.home() / "a.txt", "a");
    std::vector<std::string> args = {"--file-api-url", sim.http_url(), "--attachment",
                                     "a.txt",          "--query",      "x"};
    args.insert(args.end(), c.more.begin(), c.more.end());
    const auto r = machine.run(session_args(sim, args));
    const std::string shown = r.out + r.err;
    EXPECT_EQ(r.exit_code, 1) << shown;
    EXPECT_THAT(shown, HasSubstr(c.expected));
    EXPECT_THAT(shown, HasSubstr(token.substr(0, 8) + "…"));
    EXPECT_THAT(shown, Not(HasSubstr(token)));
  }
}

}  // namespace
