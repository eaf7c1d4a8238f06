#include "sim_process.hpp"

#include <signal.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include <boost/json/parse.hpp>

namespace velmora::testing {
namespace {

bool has_option(const std::vector<std::string>& args, std::string_view name) {
  return std::any_of(args.begin(), args.end(), [&](const std::string& arg) {
    return arg == name || arg.rfind(std::string(name) + "=", 0) == 0;
  });
}

double now_seconds() {
  using namespace std::chrono;
  return duration<double>(steady_clock::now().time_since_epoch()).count();
}

}  // namespace

SimProcess::SimProcess(std::vector<std::string> args,
                       std::map<std::string, std::optional<std::string>> env)
    : record_(dir_.path() / "record.jsonl"), uploads_(dir_.path() / "uploads") {
  std::vector<std::string> full;
  if (!has_option(args, "--port")) full.insert(full.end(), {"--port", "0"});
  if (!has_option(args, "--record")) full.insert(full.end(), {"--record", record_.string()});
  if (!has_option(args, "--upload-dir")) {
    full.insert(full.end(), {"--upload-dir", uploads_.string()});
  }
  full.insert(full.end(), args.begin(), args.end());
  ProcessOptions options;
  options.args = std::move(full);
  options.env = std::move(env);
  options.cwd = dir_.path();
  child_ = std::make_unique<ChildProcess>(AGENT_SIM_BIN, options);
  const auto line = child_->read_line(30);
  try {
    port_ = line ? std::stoi(*line) : 0;
  } catch (const std::exception&) {
    port_ = 0;
  }
  if (port_ <= 0) {
    const auto result = stop(5);
    throw std::runtime_error("velmora-agent-sim did not start (exit " +
                             std::to_string(result.exit_code) + "): " + result.err);
  }
}

SimProcess::~SimProcess() { stop(); }

std::string SimProcess::ws_url(WsUrlForm form) const {
  return "ws://127.0.0.1:" + std::to_string(port_) + (form == WsUrlForm::v3 ? "/ws/v3" : "/ws");
}

std::string SimProcess::http_url() const { return "http://127.0.0.1:" + std::to_string(port_); }

std::vector<boost::json::object> SimProcess::records() const {
  std::ifstream in(record_, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  const std::string all = text.str();
  std::vector<boost::json::object> out;
  std::size_t pos = 0;
  while (true) {
    const auto nl = all.find('\n', pos);
    // A line without its newline is still being written.
    if (nl == std::string::npos) break;
    boost::system::error_code ec;
    auto value = boost::json::parse(std::string_view(all).substr(pos, nl - pos), ec);
    if (!ec && value.is_object()) out.push_back(std::move(value.get_object()));
    pos = nl + 1;
  }
  return out;
}

std::vector<boost::json::object> SimProcess::records(std::string_view event) const {
  std::vector<boost::json::object> out;
  for (auto& line : records()) {
    const auto* e = line.if_contains("event");
    if (e != nullptr && e->is_string() && e->get_string() == event) out.push_back(std::move(line));
  }
  return out;
}

std::vector<boost::json::object> SimProcess::wait_for_records(std::string_view event,
                                                              std::size_t count,
                                                              double timeout_seconds) const {
  const double deadline = now_seconds() + timeout_seconds;
  while (true) {
    auto found = records(event);
    if (found.size() >= count || now_seconds() > deadline) return found;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

std::optional<boost::json::object> SimProcess::wait_for_record(
    const std::function<bool(const boost::json::object&)>& match, double timeout_seconds) const {
  const double deadline = now_seconds() + timeout_seconds;
  while (true) {
    for (auto& line : records()) {
      if (match(line)) return std::move(line);
    }
    if (now_seconds() > deadline) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

ProcessResult SimProcess::stop(double timeout_seconds) {
  if (result_) return *result_;
  child_->send_signal(SIGTERM);
  result_ = child_->wait(timeout_seconds);
  return *result_;
}

}  // namespace velmora::testing
