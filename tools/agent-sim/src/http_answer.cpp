#include "http_answer.hpp"

#include "velmora/base/json_text.hpp"

namespace velmora::agent_sim {

HttpAnswer json_answer(unsigned status, const boost::json::object& body, std::string outcome) {
  HttpAnswer answer;
  answer.status = status;
  answer.body = velmora::base::json_dumps(body);
  answer.outcome = std::move(outcome);
  return answer;
}

}  // namespace velmora::agent_sim
