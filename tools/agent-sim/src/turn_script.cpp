#include "turn_script.hpp"

#include <cmath>
#include <fstream>
#include <sstream>

#include <boost/json/parse.hpp>

#include "velmora/base/errors.hpp"

namespace velmora::agent_sim {
namespace {

[[noreturn]] void bad(const std::string& where, std::string_view what) {
  throw velmora::base::RuntimeError(where + ": " + std::string(what));
}

double seconds_of(const boost::json::value& v, const std::string& where) {
  if (!v.is_number()) bad(where, "expected a number of seconds");
  const double s = v.to_number<double>();
  if (!(s >= 0) || !std::isfinite(s)) bad(where, "expected a non-negative number of seconds");
  return s;
}

std::size_t count_of(const boost::json::value& v, const std::string& where) {
  if (v.is_int64() && v.get_int64() >= 0) return static_cast<std::size_t>(v.get_int64());
  if (v.is_uint64()) return static_cast<std::size_t>(v.get_uint64());
  bad(where, "expected a non-negative integer");
}

std::string string_of(const boost::json::value& v, const std::string& where) {
  if (!v.is_string()) bad(where, "expected a string");
  return std::string(v.get_string());
}

bool true_flag(const boost::json::value& v, const std::string& where) {
  if (!v.is_bool() || !v.get_bool()) bad(where, "expected true");
  return true;
}

const boost::json::object& object_of(const boost::json::value& v, const std::string& where) {
  if (!v.is_object()) bad(where, "expected an object");
  return v.get_object();
}

std::string bytes_from_hex(std::string_view hex, const std::string& where) {
  if (hex.size() % 2 != 0) bad(where, "odd number of hexadecimal digits");
  std::string out;
  for (std::size_t i = 0; i < hex.size(); i += 2) {
    int value = 0;
    for (std::size_t j = 0; j < 2; ++j) {
      const char c = hex[i + j];
      value <<= 4;
      if (c >= '0' && c <= '9') {
        value |= c - '0';
      } else if (c >= 'a' && c <= 'f') {
        value |= c - 'a' + 10;
      } else if (c >= 'A' && c <= 'F') {
        value |= c - 'A' + 10;
      } else {
        bad(where, "not a hexadecimal digit");
      }
    }
    out.push_back(static_cast<char>(value));
  }
  return out;
}

// Reads the keys of an options object, refusing unknown ones.
template <class F>
void each_option(const boost::json::object& options, const std::string& where, F on_key) {
  for (const auto& [key, value] : options) {
    if (!on_key(std::string_view(key), value))
      bad(where + "." + std::string(key), "unknown option");
  }
}

Steps parse_steps(const boost::json::value& v, const std::string& where) {
  if (!v.is_array()) bad(where, "expected an array of steps");
  Steps steps;
  std::size_t i = 0;
  for (const auto& item : v.get_array()) {
    steps.push_back(parse_step(item, where + "[" + std::to_string(i++) + "]"));
  }
  return steps;
}

}  // namespace

Step parse_step(const boost::json::value& value, const std::string& where) {
  const auto& object = object_of(value, where);
  if (object.size() != 1) bad(where, "a step is an object with exactly one key");
  const auto& [key_view, arg] = *object.begin();
  const std::string key(key_view);
  const std::string at = where + "." + key;
  Step step;
  if (key == "send") {
    step.kind = StepKind::send;
    step.frame = object_of(arg, at);
  } else if (key == "send_text") {
    step.kind = StepKind::send_text;
    step.text = string_of(arg, at);
  } else if (key == "send_binary") {
    step.kind = StepKind::send_binary;
    step.text = string_of(arg, at);
  } else if (key == "send_binary_hex") {
    step.kind = StepKind::send_binary;
    step.text = bytes_from_hex(string_of(arg, at), at);
  } else if (key == "delay") {
    step.kind = StepKind::delay;
    step.seconds = seconds_of(arg, at);
  } else if (key == "wait_answer") {
    step.kind = StepKind::wait_answer;
    if (!arg.is_bool()) {
      each_option(object_of(arg, at), at, [&](std::string_view k, const boost::json::value& v) {
        if (k == "timeout") {
          step.seconds = seconds_of(v, at + ".timeout");
        } else if (k == "fail_on_timeout") {
          if (!v.is_bool()) bad(at + ".fail_on_timeout", "expected true or false");
          step.fail_on_timeout = v.get_bool();
        } else {
          return false;
        }
        return true;
      });
    } else {
      true_flag(arg, at);
    }
  } else if (key == "stream") {
    step.kind = StepKind::stream;
    step.count = 16;
    bool has_text = false;
    each_option(object_of(arg, at), at, [&](std::string_view k, const boost::json::value& v) {
      const std::string here = at + "." + std::string(k);
      if (k == "text") {
        step.text = string_of(v, here);
        has_text = true;
      } else if (k == "chunk") {
        step.count = count_of(v, here);
        if (step.count == 0) bad(here, "expected at least 1 byte");
      } else if (k == "delay") {
        step.seconds = seconds_of(v, here);
      } else if (k == "message_id") {
        step.message_id = string_of(v, here);
      } else if (k == "type") {
        step.frame_type = string_of(v, here);
      } else {
        return false;
      }
      return true;
    });
    if (!has_text) bad(at, "needs \"text\"");
  } else if (key == "throughput") {
    step.kind = StepKind::throughput;
    if (arg.is_object()) {
      bool has_count = false;
      each_option(arg.get_object(), at, [&](std::string_view k, const boost::json::value& v) {
        const std::string here = at + "." + std::string(k);
        if (k == "count") {
          step.count = count_of(v, here);
          has_count = true;
        } else if (k == "message_id") {
          step.message_id = string_of(v, here);
        } else if (k == "rate") {
          step.seconds = seconds_of(v, here);
          if (step.seconds <= 0) bad(here, "expected frames per second above 0");
        } else {
          return false;
        }
        return true;
      });
      if (!has_count) bad(at, "needs \"count\"");
    } else {
      step.count = count_of(arg, at);
    }
  } else if (key == "complete") {
    step.kind = StepKind::complete;
    step.frame = object_of(arg, at);
  } else if (key == "close" && arg.is_object()) {
    step.kind = StepKind::close;
    each_option(arg.get_object(), at, [&](std::string_view k, const boost::json::value& v) {
      const std::string here = at + "." + std::string(k);
      if (k == "code") {
        const std::size_t code = count_of(v, here);
        // 1000-1003, 1007-1014 and the private 3000-4999 may be sent.
        if (code < 1000 || code > 4999 || (code > 1014 && code < 3000) ||
            (code >= 1004 && code <= 1006)) {
          bad(here, "expected a close code that may be sent");
        }
        step.close_code = static_cast<std::uint16_t>(code);
      } else if (k == "reason") {
        step.text = string_of(v, here);
        if (step.text.size() > 123) bad(here, "longer than 123 bytes");
      } else {
        return false;
      }
      return true;
    });
  } else if (key == "drop" || key == "close" || key == "stall") {
    step.kind = key == "drop" ? StepKind::drop : key == "close" ? StepKind::close : StepKind::stall;
    true_flag(arg, at);
  } else if (key == "oversized") {
    step.kind = StepKind::oversized;
    step.count = count_of(arg, at);
  } else {
    bad(where, "unknown step \"" + key + "\"");
  }
  return step;
}

Script parse_script(const boost::json::value& document) {
  const auto& root = object_of(document, "script");
  Script script;
  for (const auto& [key_view, value] : root) {
    const std::string key(key_view);
    if (key == "faults") {
      script.faults = faults_from_json(object_of(value, "faults"));
    } else if (key == "on_connect") {
      script.on_connect = parse_steps(value, "on_connect");
    } else if (key == "turns") {
      if (!value.is_array()) bad("turns", "expected an array");
      std::size_t i = 0;
      for (const auto& item : value.get_array()) {
        const std::string where = "turns[" + std::to_string(i++) + "]";
        ScriptTurn turn;
        bool has_steps = false;
        each_option(object_of(item, where), where,
                    [&](std::string_view k, const boost::json::value& v) {
                      if (k == "match") {
                        turn.match = string_of(v, where + ".match");
                      } else if (k == "once") {
                        if (!v.is_bool()) bad(where + ".once", "expected true or false");
                        turn.once = v.get_bool();
                      } else if (k == "steps") {
                        turn.steps = parse_steps(v, where + ".steps");
                        has_steps = true;
                      } else {
                        return false;
                      }
                      return true;
                    });
        if (!has_steps) bad(where, "needs \"steps\"");
        script.turns.push_back(std::move(turn));
      }
    } else if (key == "fallback") {
      const std::string fallback = string_of(value, "fallback");
      if (fallback != "demo" && fallback != "error") bad("fallback", "expected demo or error");
      script.fallback_demo = fallback == "demo";
    } else {
      bad(key, "unknown key");
    }
  }
  return script;
}

Script load_script(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw velmora::base::FileNotFoundError("script not found: " + path.string());
  std::stringstream text;
  text << in.rdbuf();
  boost::system::error_code ec;
  const auto document = boost::json::parse(text.str(), ec);
  if (ec) {
    throw velmora::base::RuntimeError("script " + path.string() +
                                      " is not valid JSON: " + ec.message());
  }
  try {
    return parse_script(document);
  } catch (const velmora::base::RuntimeError& e) {
    throw velmora::base::RuntimeError("script " + path.string() + ": " + e.what());
  }
}

ScriptTurnPicker::ScriptTurnPicker(const Script& script)
    : script_(script), used_(script.turns.size(), false) {}

const ScriptTurn* ScriptTurnPicker::pick(std::string_view query) {
  for (std::size_t i = 0; i < script_.turns.size(); ++i) {
    const auto& turn = script_.turns[i];
    if (turn.once && used_[i]) continue;
    if (!turn.match.empty() && query.find(turn.match) == std::string_view::npos) continue;
    used_[i] = true;
    return &turn;
  }
  return nullptr;
}

}  // namespace velmora::agent_sim
