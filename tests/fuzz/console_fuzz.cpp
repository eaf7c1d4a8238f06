// Arbitrary markup through the console, and arbitrary values through Console::escape.
//
// Markup: with colour off the output is the markup's text (strip_markup) and holds no escape
// sequence the markup did not; with colour on, removing the console's own styles and links
// leaves that same text, and link targets never carry control bytes.
// Values: an escaped value spliced into markup prints literally (carriage returns dropped,
// control characters in caret form, C1 controls as "M-^["), so no control byte but line break
// and tab reaches the terminal, whatever markup surrounds it.
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "fuzz_check.hpp"
#include "velmora/term/console.hpp"

namespace {

using velmora::term::Console;
using velmora::term::ConsoleOptions;

const Console& console(int colors) {
  static const Console plain(ConsoleOptions{.no_color = true});
  static const Console standard(ConsoleOptions{.force_terminal = true, .color_system = "standard"});
  static const Console palette(ConsoleOptions{.force_terminal = true, .color_system = "256"});
  static const Console truecolor(
      ConsoleOptions{.force_terminal = true, .color_system = "truecolor"});
  switch (colors) {
    case 0:
      return plain;
    case 1:
      return standard;
    case 2:
      return palette;
    default:
      return truecolor;
  }
}

bool is_c1_at(std::string_view text, std::size_t i) {
  return static_cast<unsigned char>(text[i]) == 0xc2 && i + 1 < text.size() &&
         static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
         static_cast<unsigned char>(text[i + 1]) <= 0x9f;
}

bool has_controls(std::string_view text) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if ((c < 0x20 && c != '\n' && c != '\t') || c == 0x7f || is_c1_at(text, i)) return true;
  }
  return false;
}

// The console's own sequences removed: SGR styles and OSC 8 links with clean targets.
// Nothing when some other escape is present.
std::optional<std::string> without_our_sequences(std::string_view bytes) {
  std::string out;
  std::size_t i = 0;
  while (i < bytes.size()) {
    if (bytes[i] != '\x1b') {
      out += bytes[i++];
      continue;
    }
    const auto rest = bytes.substr(i);
    if (rest.starts_with("\x1b[")) {
      std::size_t k = 2;
      while (k < rest.size() && ((rest[k] >= '0' && rest[k] <= '9') || rest[k] == ';')) ++k;
      if (k >= rest.size() || rest[k] != 'm') return std::nullopt;
      i += k + 1;
    } else if (rest.starts_with("\x1b]8;;")) {
      const auto end = rest.find("\x1b\\", 5);
      if (end == std::string_view::npos) return std::nullopt;
      for (const char c : rest.substr(5, end - 5)) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f) return std::nullopt;
      }
      i += end + 2;
    } else {
      return std::nullopt;
    }
  }
  return out;
}

// What an escaped value must print as.
std::string shown(std::string_view raw) {
  std::string value(raw);
  std::erase(value, '\r');
  std::string out;
  for (std::size_t i = 0; i < value.size(); ++i) {
    const auto c = static_cast<unsigned char>(value[i]);
    if ((c < 0x20 && c != '\n' && c != '\t') || c == 0x7f) {
      out += '^';
      out += static_cast<char>(c ^ 0x40);
    } else if (is_c1_at(value, i)) {
      out += "M-^";
      out += static_cast<char>((static_cast<unsigned char>(value[i + 1]) - 0x80) ^ 0x40);
      ++i;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

void check_markup(std::string_view markup) {
  const std::string text = velmora::term::strip_markup(markup);
  const bool trusted = markup.find('\x1b') == std::string_view::npos;
  FUZZ_CHECK(console(0).render(markup) == text, "colour off prints exactly the text");
  for (int colors = 1; colors <= 3; ++colors) {
    const std::string out = console(colors).render(markup);
    if (!trusted) continue;
    const auto stripped = without_our_sequences(out);
    FUZZ_CHECK(stripped.has_value(), "only the console's own sequences");
    FUZZ_CHECK(*stripped == text, "styles aside, colour prints the same text");
  }
}

void check_escape(std::string_view value, std::string_view around) {
  const std::string escaped = Console::escape(value);
  const std::string expected = shown(value);
  FUZZ_CHECK(velmora::term::strip_markup(escaped) == expected, "an escaped value prints as is");
  FUZZ_CHECK(!has_controls(console(0).render(escaped)), "no control byte reaches the terminal");

  // Inside markup the value stays literal and does not disturb the tags around it.
  const std::string templates[] = {
      "[bold]" + escaped + "[/bold]",
      "[red]" + escaped + "[/]",
      "[link=https://example.test/]" + escaped + "[/link]",
      "x" + escaped + "[cyan]y[/cyan]",
      "[" + std::string(around) + "]" + escaped + "[/" + std::string(around) + "]",
  };
  const std::string expected_text[] = {
      expected,
      expected,
      expected,
      "x" + expected + "y",
      velmora::term::strip_markup("[" + std::string(around) + "]\x01[/" + std::string(around) +
                                  "]"),
  };
  for (std::size_t t = 0; t < std::size(templates); ++t) {
    std::string want = expected_text[t];
    if (t == 4) {
      // The tag pair printed as around a placeholder, with the value in its place.
      const auto at = want.find('\x01');
      if (at == std::string::npos) continue;
      want.replace(at, 1, expected);
    }
    FUZZ_CHECK(velmora::term::strip_markup(templates[t]) == want, "escaped value inside markup");
    for (int colors = 1; colors <= 3; ++colors) {
      const auto stripped = without_our_sequences(console(colors).render(templates[t]));
      FUZZ_CHECK(stripped.has_value(), "escaped value: only the console's own sequences");
      FUZZ_CHECK(*stripped == want, "escaped value: the same text in colour");
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  check_markup(input);
  // The first line, when short, is also a tag to wrap the escaped rest in.
  const auto newline = input.find('\n');
  const std::string_view around =
      newline != std::string_view::npos && newline < 40 ? input.substr(0, newline) : "bold";
  check_escape(input, has_controls(around) || around.find_first_of("[]\\") != std::string_view::npos
                          ? "bold"
                          : around);
  return 0;
}
