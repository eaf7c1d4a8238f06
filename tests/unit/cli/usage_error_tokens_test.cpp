// A command line that cannot be parsed is quoted back to the user, but a token in it only in
// its debug form.
#include <sstream>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "test_tokens.hpp"
#include "velmora/options.hpp"
#include "velmora/platform/secret_mask.hpp"
#include "velmora/program_exit.hpp"
#include "velmora/base/json_text.hpp"

namespace {

using ::testing::HasSubstr;
using ::testing::Not;

TEST(UsageError, QuotesTokensOnlyInTheirDebugForm) {
  const std::string token(velmora::testing::SESSION_TOKEN);
  struct Case {
    std::vector<std::string> args;
    std::string secret;
    std::string shows;
  } cases[] = {
      {{"login", "--token", token}, token, "not expected: vtk-sess… --token"},
      {{"--timeout", token, "--token", token}, token, "--timeout = vtk-sess…"},
      {{"logout", "--token=" + token}, token, "vtk-sess…"},
      // A short token keeps at most half; words that merely contain it stay as they are.
      {{"login", "--token", "tok"}, "", "not expected: t… --token"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.shows);
    std::ostringstream out;
    std::ostringstream err;
    int status = -1;
    try {
      (void)velmora::parse_args(c.args, out, err);
    } catch (const velmora::ProgramExit& e) {
      status = e.status();
    }
    EXPECT_EQ(status, 2);
    EXPECT_THAT(err.str(), HasSubstr(c.shows));
    if (!c.secret.empty()) {
      EXPECT_THAT(err.str(), Not(HasSubstr(c.secret)));
    }
  }
}

TEST(UsageError, CutsATokenByCharactersLikeEveryOtherMaskedText) {
  // One ASCII letter, then two-byte characters: a cut by bytes would split one of them.
  const std::string token = "aéééééééééééé";
  std::ostringstream out;
  std::ostringstream err;
  try {
    (void)velmora::parse_args({"login", "--token", token}, out, err);
    ADD_FAILURE() << "parsed";
  } catch (const velmora::ProgramExit& e) {
    EXPECT_EQ(e.status(), 2);
  }
  EXPECT_TRUE(velmora::base::is_valid_utf8(err.str())) << err.str();
  EXPECT_THAT(err.str(), HasSubstr("not expected: " + velmora::platform::mask_token(token)));
  EXPECT_THAT(err.str(), Not(HasSubstr(token)));
}

}  // namespace
