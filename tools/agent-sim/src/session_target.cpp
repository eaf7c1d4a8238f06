#include "session_target.hpp"

#include <boost/url/encoding_opts.hpp>
#include <boost/url/parse.hpp>

namespace velmora::agent_sim {

std::variant<SessionRequest, TargetRefusal> parse_session_target(std::string_view target) {
  auto parsed = boost::urls::parse_origin_form(target);
  if (!parsed) return TargetRefusal{400, "malformed request target"};
  const auto& url = *parsed;
  SessionRequest request;
  request.path = std::string(url.path());

  boost::urls::encoding_opts opts;
  opts.space_as_plus = true;
  std::optional<std::string> user_param;
  for (const auto& param : url.params(opts)) {
    const std::string value = param.has_value ? std::string(param.value) : std::string();
    request.params[param.key] = value;
    if (param.key == "userToken") request.token = value;
    if (param.key == "thread_id") request.thread_id = value;
    if (param.key == "User_language") request.language = value;
    if (param.key == "user_id") user_param = value;
  }
  if (request.thread_id && request.thread_id->empty()) request.thread_id.reset();

  const auto segments = url.segments();
  const std::string last = segments.empty() ? std::string() : std::string(segments.back());
  request.v3_form = last == "v3";
  if (request.v3_form) {
    if (!user_param || user_param->empty()) {
      return TargetRefusal{400, "user_id query parameter is required"};
    }
    request.user_id = *user_param;
  } else {
    if (last.empty()) return TargetRefusal{400, "user id path segment is required"};
    request.user_id = last;
  }
  if (request.token.empty()) return TargetRefusal{401, "userToken query parameter is required"};
  return request;
}

}  // namespace velmora::agent_sim
