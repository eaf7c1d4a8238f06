#include "recorder.hpp"

#include <cerrno>
#include <cstring>

#include "text_util.hpp"
#include "velmora/base/errors.hpp"
#include "velmora/base/json_text.hpp"

namespace velmora::agent_sim {

Recorder::Recorder(const std::filesystem::path& path) {
  out_.open(path, std::ios::binary | std::ios::trunc);
  if (!out_) {
    throw velmora::base::OSError(
        "cannot open record file " + path.string() + ": " + std::strerror(errno), errno);
  }
}

void Recorder::write(std::string_view event, const boost::json::object& fields) {
  if (!enabled()) return;
  boost::json::object line;
  line["seq"] = ++seq_;
  line["time"] = utc_timestamp();
  line["event"] = event;
  for (const auto& field : fields) line[field.key()] = field.value();
  out_ << velmora::base::json_dumps(line) << '\n';
  out_.flush();
}

}  // namespace velmora::agent_sim
