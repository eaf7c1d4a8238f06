#include "faults.hpp"

#include <cmath>

#include "velmora/base/errors.hpp"

namespace velmora::agent_sim {
namespace {

template <class T>
void fill(std::optional<T>& mine, const std::optional<T>& theirs) {
  if (!mine && theirs) mine = theirs;
}

[[noreturn]] void bad(std::string_view key, std::string_view what) {
  throw velmora::base::RuntimeError("faults." + std::string(key) + ": " + std::string(what));
}

std::size_t count_value(std::string_view key, const boost::json::value& v) {
  if (v.is_int64() && v.get_int64() >= 0) return static_cast<std::size_t>(v.get_int64());
  if (v.is_uint64()) return static_cast<std::size_t>(v.get_uint64());
  bad(key, "expected a non-negative integer");
}

double seconds_value(std::string_view key, const boost::json::value& v) {
  if (!v.is_number()) bad(key, "expected a number of seconds");
  const double s = v.to_number<double>();
  if (!(s >= 0) || !std::isfinite(s)) bad(key, "expected a non-negative number of seconds");
  return s;
}

bool bool_value(std::string_view key, const boost::json::value& v) {
  if (!v.is_bool()) bad(key, "expected true or false");
  return v.get_bool();
}

}  // namespace

void Faults::fill_from(const Faults& other) {
  fill(reject_handshakes, other.reject_handshakes);
  fill(silent_handshakes, other.silent_handshakes);
  fill(fault_connections, other.fault_connections);
  fill(drop_after_frames, other.drop_after_frames);
  fill(stall_after_frames, other.stall_after_frames);
  fill(send_non_json, other.send_non_json);
  fill(send_binary, other.send_binary);
  fill(oversized_frame, other.oversized_frame);
  fill(metadata_delay, other.metadata_delay);
  fill(handshake_delay, other.handshake_delay);
  fill(override_thread, other.override_thread);
  fill(metadata_thread_id, other.metadata_thread_id);
  fill(upload_status, other.upload_status);
  fill(upload_body, other.upload_body);
  fill(upload_missing_relative_path, other.upload_missing_relative_path);
}

Faults faults_from_json(const boost::json::object& object) {
  Faults f;
  for (const auto& [key_view, v] : object) {
    const std::string key(key_view);
    if (key == "reject_handshakes") {
      f.reject_handshakes = count_value(key, v);
    } else if (key == "silent_handshakes") {
      f.silent_handshakes = count_value(key, v);
    } else if (key == "fault_connections") {
      f.fault_connections = count_value(key, v);
    } else if (key == "drop_after_frames") {
      f.drop_after_frames = count_value(key, v);
    } else if (key == "stall_after_frames") {
      f.stall_after_frames = count_value(key, v);
    } else if (key == "send_non_json") {
      f.send_non_json = bool_value(key, v);
    } else if (key == "send_binary") {
      f.send_binary = bool_value(key, v);
    } else if (key == "oversized_frame") {
      f.oversized_frame = count_value(key, v);
    } else if (key == "metadata_delay") {
      f.metadata_delay = seconds_value(key, v);
    } else if (key == "handshake_delay") {
      f.handshake_delay = seconds_value(key, v);
    } else if (key == "override_thread") {
      f.override_thread = bool_value(key, v);
    } else if (key == "metadata_thread_id") {
      if (!v.is_string()) bad(key, "expected a string");
      f.metadata_thread_id = std::string(v.get_string());
    } else if (key == "upload_status") {
      const auto status = count_value(key, v);
      if (status < 100 || status > 599) bad(key, "expected an HTTP status from 100 to 599");
      f.upload_status = static_cast<unsigned>(status);
    } else if (key == "upload_body") {
      if (!v.is_string()) bad(key, "expected a string");
      f.upload_body = std::string(v.get_string());
    } else if (key == "upload_missing_relative_path") {
      f.upload_missing_relative_path = bool_value(key, v);
    } else {
      bad(key, "unknown fault");
    }
  }
  return f;
}

}  // namespace velmora::agent_sim
