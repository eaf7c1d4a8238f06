// The JSON-lines record of everything the simulator receives, for tests to assert on.
//
// Each line is one object: {"seq": 1, "time": "…Z", "event": "ws_frame", …}. Lines are written
// and flushed as events happen, so a test may read the file while the simulator runs.
//
//   Recorder rec("/tmp/x/record.jsonl");
//   rec.write("oauth", {{"path", "/oauth/token"}});
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string_view>

#include <boost/json/object.hpp>

namespace velmora::agent_sim {

class Recorder {
 public:
  /// Records nothing.
  Recorder() = default;
  /// Truncates `path`. Throws velmora::base::OSError when the file cannot be opened.
  explicit Recorder(const std::filesystem::path& path);

  [[nodiscard]] bool enabled() const noexcept { return out_.is_open(); }
  /// Writes one line: "seq", "time", "event", then the fields in their order.
  void write(std::string_view event, const boost::json::object& fields);

 private:
  std::ofstream out_;
  std::uint64_t seq_ = 0;
};

}  // namespace velmora::agent_sim
