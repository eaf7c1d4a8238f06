// HTTP requests other than websocket upgrades: the credentials service, the device page and a
// health check, as pure functions of the request (the upload has its own receiver).
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "http_answer.hpp"
#include "sim_state.hpp"

namespace velmora::agent_sim {

/// A request's line and headers, in the order sent.
struct RequestHead {
  std::string method;
  std::string target;
  std::vector<std::pair<std::string, std::string>> headers;

  /// First header of that name (case-insensitive), or null.
  [[nodiscard]] const std::string* header(std::string_view name) const;
  /// The target without its query.
  [[nodiscard]] std::string_view path() const;
};

inline constexpr std::string_view UPLOAD_PATH = "/api/v2/upload_attachment";

/// Answers a request with a complete body and records it.
HttpAnswer handle_http(SimState& state, const RequestHead& head, std::string_view body, double now);

}  // namespace velmora::agent_sim
