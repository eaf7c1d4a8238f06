// A small blocking HTTP and websocket client for the simulator's loopback tests. Every call
// has a time limit so a broken simulator fails the test instead of hanging it.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <boost/json/object.hpp>

namespace velmora::agent_sim::testing {

struct HttpReply {
  int status = 0;                              ///< 0 when no answer arrived
  std::map<std::string, std::string> headers;  ///< lower-case names
  std::string body;
  [[nodiscard]] boost::json::object json() const;
};

using Headers = std::vector<std::pair<std::string, std::string>>;

HttpReply http_request(int port, const std::string& method, const std::string& target,
                       const Headers& headers = {}, const std::string& body = {},
                       double timeout_seconds = 30);

/// POST of an `application/x-www-form-urlencoded` body.
HttpReply post_form(int port, const std::string& target, const Headers& fields);

/// Sends raw bytes and returns everything the server answers until it closes.
std::string raw_exchange(int port, const std::string& bytes, double timeout_seconds = 10);

struct WsFrame {
  bool binary = false;
  std::string data;
  /// The frame as a JSON object; empty when it is not one.
  [[nodiscard]] boost::json::object json() const;
  [[nodiscard]] std::string type() const;
};

class WsClient {
 public:
  /// Opens a websocket to `target`; `handshake_status()` tells a refused handshake apart.
  WsClient(int port, const std::string& target, double timeout_seconds = 10);
  ~WsClient();
  WsClient(const WsClient&) = delete;
  WsClient& operator=(const WsClient&) = delete;

  [[nodiscard]] bool connected() const;
  /// 101 when accepted, else the HTTP status of the refusal (0: no answer).
  [[nodiscard]] int handshake_status() const;

  bool send_json(const boost::json::object& frame);
  bool send_text(const std::string& text);
  bool send_binary(const std::string& bytes);

  /// The next frame; nothing when the connection ended or nothing came in time.
  std::optional<WsFrame> read(double timeout_seconds = 10);
  /// Frames up to and including the first of type `type` (all read frames if it never came).
  std::vector<WsFrame> read_until(std::string_view type, double timeout_seconds = 10);

  /// How the connection ended: "closed" (close frame received), "timeout", or the error text.
  [[nodiscard]] const std::string& end_reason() const;
  /// Closes normally.
  void close();

 private:
  bool write(const std::string& data, bool binary);
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

/// Types of the JSON frames, in order ("<binary>" / "<text>" for others).
std::vector<std::string> types_of(const std::vector<WsFrame>& frames);

/// The text of all text_delta frames joined.
std::string joined_deltas(const std::vector<WsFrame>& frames);

}  // namespace velmora::agent_sim::testing
