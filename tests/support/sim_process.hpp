// Starts the local agent simulator for a test and reads what it recorded.
//
//   velmora::testing::SimProcess sim({"--pace", "0"});
//   run_process(VELMORA_BIN, {.args = {"--url", sim.ws_url(), "--query", "hi"}});
//   auto queries = sim.wait_for_records("ws_frame", 1);      // what the client sent
//   EXPECT_EQ(queries[0].at("frame").at("type"), "query");
//
// The simulator runs in its own temporary folder with `--port 0`, `--record <dir>/record.jsonl`
// and `--upload-dir <dir>/uploads`, unless the given arguments set those options themselves.
// It is stopped with SIGTERM on destruction. tools/agent-sim/README.md describes the options
// and the record.
#pragma once

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <boost/json/object.hpp>

#include "test_support.hpp"

namespace velmora::testing {

enum class WsUrlForm {
  v3,    ///< ws://127.0.0.1:PORT/ws/v3 (the user id travels in the query)
  path,  ///< ws://127.0.0.1:PORT/ws (the client appends /<user_id>)
};

class SimProcess {
 public:
  /// Starts the simulator; throws std::runtime_error (with its standard error) when it does
  /// not report a port within 30 seconds.
  explicit SimProcess(std::vector<std::string> args = {},
                      std::map<std::string, std::optional<std::string>> env = {});
  ~SimProcess();
  SimProcess(const SimProcess&) = delete;
  SimProcess& operator=(const SimProcess&) = delete;

  [[nodiscard]] int port() const noexcept { return port_; }
  /// Websocket base address for the client's --url.
  [[nodiscard]] std::string ws_url(WsUrlForm form = WsUrlForm::v3) const;
  /// "http://127.0.0.1:PORT": File API and credentials base address.
  [[nodiscard]] std::string http_url() const;
  /// The simulator's temporary folder (its working directory).
  [[nodiscard]] const std::filesystem::path& dir() const noexcept { return dir_.path(); }
  [[nodiscard]] const std::filesystem::path& record_path() const noexcept { return record_; }
  [[nodiscard]] const std::filesystem::path& upload_dir() const noexcept { return uploads_; }

  /// Every complete line of the record, parsed.
  [[nodiscard]] std::vector<boost::json::object> records() const;
  /// The lines whose "event" is `event`.
  [[nodiscard]] std::vector<boost::json::object> records(std::string_view event) const;
  /// Waits until at least `count` lines of `event` are recorded; returns those seen by then.
  std::vector<boost::json::object> wait_for_records(std::string_view event, std::size_t count,
                                                    double timeout_seconds = 10) const;
  /// Waits for the first line that satisfies `match`.
  std::optional<boost::json::object> wait_for_record(
      const std::function<bool(const boost::json::object&)>& match,
      double timeout_seconds = 10) const;

  /// Stops the simulator with SIGTERM and returns how it ended; later calls return the same.
  ProcessResult stop(double timeout_seconds = 30);

 private:
  TempDir dir_;
  std::filesystem::path record_;
  std::filesystem::path uploads_;
  std::unique_ptr<ChildProcess> child_;
  std::optional<ProcessResult> result_;
  int port_ = 0;
};

}  // namespace velmora::testing
