// Reads a websocket request target in either URL form of the agent service:
//   /ws/v3?userToken=T&thread_id=X&User_language=en&user_id=U     (path ends in "/v3")
//   /ws/U?userToken=T&thread_id=X&User_language=en                 (user id as last segment)
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include <boost/json/object.hpp>

namespace velmora::agent_sim {

struct SessionRequest {
  std::string path;
  /// The "/v3" form (user id in the query) rather than the path form.
  bool v3_form = false;
  std::string user_id;
  std::string token;
  /// Absent when the client asked for no thread (or an empty one).
  std::optional<std::string> thread_id;
  std::string language;
  /// Every query parameter, decoded, for the record.
  boost::json::object params;
};

struct TargetRefusal {
  unsigned status = 400;
  std::string reason;
};

[[nodiscard]] std::variant<SessionRequest, TargetRefusal> parse_session_target(
    std::string_view target);

}  // namespace velmora::agent_sim
