// Arbitrary frames through the renderer in both profiles.
//
// The input is split into frames at line breaks, decoded as the client decodes them: a JSON
// object is a server message, anything else the client's "_raw" message, a heartbeat nothing;
// each becomes its event. The first
// byte picks options (width, one-shot, sticky plan, debug, which frames are historical). Besides
// not crashing, the output must hold no escape sequence the renderer did not make itself: plain
// output none at all, terminal output only SGR styles and OSC 8 links with clean targets.
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "velmora/renderer/stream_renderer.hpp"
#include "wirelet/wire_format.hpp"

namespace {

using velmora::renderer::RendererOptions;
using velmora::renderer::StreamRenderer;

class RecordingLive final : public velmora::term::LiveDisplay {
 public:
  void update(std::vector<std::string> lines) override { text = join(lines); }
  void commit(std::vector<std::string> lines) override { text = join(lines); }
  std::string text;

 private:
  static std::string join(const std::vector<std::string>& lines) {
    std::string out;
    for (const auto& line : lines) {
      if (line.find('\n') != std::string::npos) std::abort();  // a live line is one screen line
      out += line;
      out += '\n';
    }
    return out;
  }
};

// Every escape is a style ("ESC [ digits/; m") or a hyperlink ("ESC ] 8 ; ; URL ESC \").
bool escapes_are_ours(std::string_view bytes) {
  for (std::size_t i = bytes.find('\x1b'); i != std::string_view::npos; i = bytes.find('\x1b', i)) {
    const auto rest = bytes.substr(i);
    if (rest.starts_with("\x1b[")) {
      std::size_t k = 2;
      while (k < rest.size() && ((rest[k] >= '0' && rest[k] <= '9') || rest[k] == ';')) ++k;
      if (k >= rest.size() || rest[k] != 'm') return false;
      i += k + 1;
    } else if (rest.starts_with("\x1b]8;;")) {
      const auto end = rest.find("\x1b\\", 5);
      if (end == std::string_view::npos) return false;
      for (const char c : rest.substr(5, end - 5)) {
        if (static_cast<unsigned char>(c) < 0x21 || static_cast<unsigned char>(c) == 0x7f)
          return false;
      }
      i += end + 2;
    } else {
      return false;
    }
  }
  // C1 controls (an 8-bit CSI among them) must not appear either.
  for (std::size_t i = 0; i + 1 < bytes.size(); ++i) {
    if (static_cast<unsigned char>(bytes[i]) == 0xc2 &&
        static_cast<unsigned char>(bytes[i + 1]) >= 0x80 &&
        static_cast<unsigned char>(bytes[i + 1]) <= 0x9f) {
      return false;
    }
  }
  return true;
}

void run(std::string_view input, unsigned flags, bool terminal) {
  auto sink = std::make_shared<velmora::term::StringSink>();
  auto live = std::make_shared<RecordingLive>();
  RendererOptions options;
  options.console = std::make_shared<velmora::term::Console>(
      terminal ? velmora::term::ConsoleOptions{.force_terminal = true,
                                               .no_color = false,
                                               .color_system = "truecolor"}
               : velmora::term::ConsoleOptions{.no_color = true},
      sink);
  options.plain_output = !terminal;
  options.render_profile = terminal ? "terminal" : "im";
  options.live_display = live;
  options.width = 10 + static_cast<int>(flags & 0x3f);
  options.one_shot = (flags & 0x40) != 0;
  options.sticky_collection_plan_live = (flags & 0x80) != 0;
  options.debug = true;
  options.live_tick_seconds = 0;
  options.help_entries = {{"/help", "show available commands"}};
  double clock = 0;
  options.monotonic_clock = [&clock] { return clock += 0.37; };
  StreamRenderer renderer(std::move(options));
  renderer.reset_turn_state();

  wirelet::FrameDecoder decoder;
  std::size_t index = 0;
  std::size_t begin = 0;
  while (begin <= input.size()) {
    auto end = input.find('\n', begin);
    if (end == std::string_view::npos) end = input.size();
    const std::string_view frame = input.substr(begin, end - begin);
    begin = end + 1;
    const bool historical = ((flags >> 8) >> (index++ % 8)) & 1;
    // Decoded as the client decodes a text frame (nesting up to its depth limit).
    auto incoming = decoder.decode(frame, false);
    if (!incoming) continue;
    const velmora::events::AgentEvent event = velmora::events::to_event(std::move(*incoming));
    renderer.render(event, historical);
    if (event.kind == velmora::events::EventKind::raw) {
      renderer.render_session_notice(frame, index % 2 == 0);
    }
    if (index % 7 == 0) renderer.flush_pending_historical_asks();
    if (index % 11 == 0) renderer.render_thinking_history(std::string(frame.substr(0, 16)));
  }
  renderer.render_thinking_history();
  renderer.render_banner(
      {.endpoint = std::string(input.substr(0, 40)), .thread_id = std::string(input.substr(0, 8))});
  renderer.render_invocation_error(input.substr(0, 64), input.substr(0, 32),
                                   std::string(input.substr(0, 200)), index % 2 == 0);
  renderer.render_help();
  renderer.flush_deferred_output();

  const std::string& out = sink->text();
  if (!terminal && out.find('\x1b') != std::string::npos) std::abort();
  if (!escapes_are_ours(out) || !escapes_are_ours(live->text)) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const unsigned flags = data[0] | (size > 1 ? static_cast<unsigned>(data[1]) << 8 : 0u);
  const std::string_view input(reinterpret_cast<const char*>(data) + std::min<std::size_t>(size, 2),
                               size - std::min<std::size_t>(size, 2));
  run(input, flags, true);
  run(input, flags, false);
  return 0;
}
