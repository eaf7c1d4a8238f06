// A StreamRenderer wired to a string console, a recording live display and fixed clocks.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include <boost/json/parse.hpp>

#include "velmora/events/question.hpp"
#include "velmora/renderer/stream_renderer.hpp"

namespace velmora::renderer::testing {

/// Records what the renderer keeps live; `lines` is what the screen shows now.
class FakeLiveDisplay final : public term::LiveDisplay {
 public:
  void update(std::vector<std::string> lines) override {
    this->lines = std::move(lines);
    ++updates;
  }
  void commit(std::vector<std::string> lines) override {
    committed.insert(committed.end(), lines.begin(), lines.end());
    this->lines.clear();
  }
  std::vector<std::string> lines;
  std::vector<std::string> committed;
  int updates = 0;
};

/// The event of a recorded message: "_raw" and "_connection_error" stand for the client's own.
inline events::AgentEvent event_of(boost::json::object msg) {
  const auto* type = msg.if_contains("type");
  const bool client_made = type != nullptr && type->is_string() &&
                           (type->get_string() == wirelet::RAW_MESSAGE_TYPE ||
                            type->get_string() == wirelet::CONNECTION_ERROR_TYPE);
  return events::to_event(
      {std::move(msg), client_made ? wirelet::Origin::client : wirelet::Origin::server});
}

/// Colour terminal ("terminal") or plain consumer ("im").
struct Harness {
  std::shared_ptr<term::StringSink> sink = std::make_shared<term::StringSink>();
  std::shared_ptr<FakeLiveDisplay> live = std::make_shared<FakeLiveDisplay>();
  double clock = 100.0;
  std::unique_ptr<StreamRenderer> renderer;

  explicit Harness(bool terminal, RendererOptions extra = {}) {
    term::ConsoleOptions console_options =
        terminal ? term::ConsoleOptions{.force_terminal = true,
                                        .no_color = false,
                                        .color_system = "standard"}
                 : term::ConsoleOptions{.force_terminal = false, .no_color = true};
    extra.console = std::make_shared<term::Console>(console_options, sink);
    extra.plain_output = !terminal;
    extra.render_profile = std::string(terminal ? RENDER_PROFILE_TERMINAL : RENDER_PROFILE_IM);
    extra.live_display = live;
    if (!extra.width) extra.width = 60;
    extra.live_tick_seconds = 0;
    extra.monotonic_clock = [this] { return clock; };
    extra.wall_clock = [] {
      return std::chrono::system_clock::time_point(std::chrono::seconds(1'700'000'000));
    };
    renderer = std::make_unique<StreamRenderer>(std::move(extra));
  }

  /// Renders one message; a "_raw" or "_connection_error" one as the client's own, anything
  /// else as the server's. Returns the question it leaves open for the session to answer.
  std::optional<events::AskPromptRequest> feed(std::string_view json, bool historical = false) {
    return feed_message(boost::json::parse(json).as_object(), historical);
  }

  std::optional<events::AskPromptRequest> feed_message(boost::json::object msg, bool historical) {
    const events::AgentEvent event = event_of(std::move(msg));
    renderer->render(event, historical);
    if (historical) return std::nullopt;
    return events::open_question(event);
  }

  /// Output so far with colours as readable tags; the sink is emptied.
  std::string take();
  [[nodiscard]] std::string text() const { return sink->text(); }
};

/// Escape sequences turned into tags: "{bold cyan}", "{/}", "{link=URL}", "{/link}"; any
/// other escape shows as "{ESC…}" so a test sees it.
std::string tagged(std::string_view bytes);

}  // namespace velmora::renderer::testing
