// An HTTP answer built by the pure request handlers; the transport only writes it.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include <boost/json/object.hpp>

namespace velmora::agent_sim {

struct HttpAnswer {
  unsigned status = 200;
  std::string body;
  std::string content_type = "application/json";
  /// Extra headers, in order.
  std::vector<std::pair<std::string, std::string>> headers;
  /// Short word for the record ("issued", "authorization_pending", ...).
  std::string outcome;
};

/// A JSON answer written with the project's JSON writer.
[[nodiscard]] HttpAnswer json_answer(unsigned status, const boost::json::object& body,
                                     std::string outcome = {});

}  // namespace velmora::agent_sim
