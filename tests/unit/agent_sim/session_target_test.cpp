#include "session_target.hpp"

#include <gtest/gtest.h>

namespace {

using velmora::agent_sim::parse_session_target;
using velmora::agent_sim::SessionRequest;
using velmora::agent_sim::TargetRefusal;

TEST(SessionTarget, ReadsBothUrlForms) {
  struct Case {
    std::string target;
    bool v3;
    std::string user, token, language;
    std::optional<std::string> thread;
  };
  const std::vector<Case> cases = {
      {"/ws/v3?userToken=t+k&thread_id=abc&User_language=en&user_id=u1", true, "u1", "t k", "en",
       "abc"},
      {"/ws/u%201?userToken=t%2Bk&thread_id=abc", false, "u 1", "t+k", "", "abc"},
      {"/v3?userToken=x&user_id=u&thread_id=", true, "u", "x", "", std::nullopt},
      {"/ws/V3?userToken=x", false, "V3", "x", "", std::nullopt},
      {"/agent/v3/u9?userToken=x&user_id=ignored", false, "u9", "x", "", std::nullopt},
  };
  for (const auto& c : cases) {
    const auto parsed = parse_session_target(c.target);
    ASSERT_TRUE(std::holds_alternative<SessionRequest>(parsed)) << c.target;
    const auto& r = std::get<SessionRequest>(parsed);
    EXPECT_EQ(r.v3_form, c.v3) << c.target;
    EXPECT_EQ(r.user_id, c.user) << c.target;
    EXPECT_EQ(r.token, c.token) << c.target;
    EXPECT_EQ(r.language, c.language) << c.target;
    EXPECT_EQ(r.thread_id, c.thread) << c.target;
  }
}

TEST(SessionTarget, RefusesTargetsWithoutUserOrToken) {
  struct Case {
    std::string target;
    unsigned status;
    std::string reason;
  };
  const std::vector<Case> cases = {
      {"/ws/v3?userToken=x", 400, "user_id query parameter is required"},
      {"/ws/?userToken=x", 400, "user id path segment is required"},
      {"/ws/u1?thread_id=t", 401, "userToken query parameter is required"},
      {"/ws/v3?user_id=u&userToken=", 401, "userToken query parameter is required"},
      {"no-slash", 400, "malformed request target"},
  };
  for (const auto& c : cases) {
    const auto parsed = parse_session_target(c.target);
    ASSERT_TRUE(std::holds_alternative<TargetRefusal>(parsed)) << c.target;
    EXPECT_EQ(std::get<TargetRefusal>(parsed).status, c.status) << c.target;
    EXPECT_EQ(std::get<TargetRefusal>(parsed).reason, c.reason) << c.target;
  }
}

}  // namespace
