#include "velmora/term/console.hpp"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>

namespace velmora::term {
namespace {

struct NamedColor {
  std::string_view name;
  std::uint8_t index;
};

// rich names, then the ansi* names of the prompt styles.
constexpr std::array<NamedColor, 42> NAMED_COLORS{{
    {"black", 0},
    {"red", 1},
    {"green", 2},
    {"yellow", 3},
    {"blue", 4},
    {"magenta", 5},
    {"cyan", 6},
    {"white", 7},
    {"bright_black", 8},
    {"bright_red", 9},
    {"bright_green", 10},
    {"bright_yellow", 11},
    {"bright_blue", 12},
    {"bright_magenta", 13},
    {"bright_cyan", 14},
    {"bright_white", 15},
    {"grey", 8},
    {"gray", 8},
    {"ansiblack", 0},
    {"ansired", 1},
    {"ansigreen", 2},
    {"ansiyellow", 3},
    {"ansiblue", 4},
    {"ansimagenta", 5},
    {"ansicyan", 6},
    {"ansigray", 7},
    {"ansigrey", 7},
    {"ansibrightblack", 8},
    {"ansibrightred", 9},
    {"ansibrightgreen", 10},
    {"ansibrightyellow", 11},
    {"ansibrightblue", 12},
    {"ansibrightmagenta", 13},
    {"ansibrightcyan", 14},
    {"ansiwhite", 15},
    {"ansidarkgray", 8},
    {"ansidarkgrey", 8},
    {"ansilightgray", 7},
    {"ansidarkred", 1},
    {"ansidarkgreen", 2},
    {"ansidarkblue", 4},
    {"ansiturquoise", 14},
}};

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::optional<Color> parse_color(std::string_view word) {
  Color color;
  if (word == "default") return color;
  for (const auto& named : NAMED_COLORS) {
    if (named.name == word) {
      color.kind = Color::Kind::ansi;
      color.index = named.index;
      return color;
    }
  }
  if (word.size() == 7 && word[0] == '#') {
    int v[6];
    for (int i = 0; i < 6; ++i) {
      v[i] = hex_value(word[static_cast<std::size_t>(i) + 1]);
      if (v[i] < 0) return std::nullopt;
    }
    color.kind = Color::Kind::rgb;
    color.r = static_cast<std::uint8_t>(v[0] * 16 + v[1]);
    color.g = static_cast<std::uint8_t>(v[2] * 16 + v[3]);
    color.b = static_cast<std::uint8_t>(v[4] * 16 + v[5]);
    return color;
  }
  if (word.starts_with("color(") && word.ends_with(")")) {
    const auto digits = word.substr(6, word.size() - 7);
    unsigned value = 0;
    const auto res = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (res.ec != std::errc{} || res.ptr != digits.data() + digits.size() || value > 255) {
      return std::nullopt;
    }
    color.kind = value < 16 ? Color::Kind::ansi : Color::Kind::palette;
    color.index = static_cast<std::uint8_t>(value);
    return color;
  }
  return std::nullopt;
}

std::vector<std::string_view> split_words(std::string_view text) {
  std::vector<std::string_view> words;
  std::size_t i = 0;
  while (i < text.size()) {
    while (i < text.size() && text[i] == ' ') ++i;
    const std::size_t start = i;
    while (i < text.size() && text[i] != ' ') ++i;
    if (i > start) words.push_back(text.substr(start, i - start));
  }
  return words;
}

// Nearest of the 16 ANSI colours, for terminals without 256 colours.
std::uint8_t nearest_ansi(int r, int g, int b) {
  static constexpr std::array<std::array<int, 3>, 16> PALETTE{{
      {0, 0, 0},
      {128, 0, 0},
      {0, 128, 0},
      {128, 128, 0},
      {0, 0, 128},
      {128, 0, 128},
      {0, 128, 128},
      {192, 192, 192},
      {128, 128, 128},
      {255, 0, 0},
      {0, 255, 0},
      {255, 255, 0},
      {0, 0, 255},
      {255, 0, 255},
      {0, 255, 255},
      {255, 255, 255},
  }};
  std::uint8_t best = 0;
  long best_distance = -1;
  for (std::uint8_t i = 0; i < 16; ++i) {
    const long dr = r - PALETTE[i][0];
    const long dg = g - PALETTE[i][1];
    const long db = b - PALETTE[i][2];
    const long d = dr * dr + dg * dg + db * db;
    if (best_distance < 0 || d < best_distance) {
      best_distance = d;
      best = i;
    }
  }
  return best;
}

std::array<int, 3> palette_rgb(std::uint8_t index) {
  if (index >= 232) {
    const int level = 8 + (index - 232) * 10;
    return {level, level, level};
  }
  const int i = index - 16;
  const auto level = [](int v) { return v == 0 ? 0 : 55 + v * 40; };
  return {level(i / 36), level((i / 6) % 6), level(i % 6)};
}

std::uint8_t rgb_to_palette(int r, int g, int b) {
  const auto cube = [](int v) { return v < 48 ? 0 : v < 115 ? 1 : (v - 35) / 40; };
  return static_cast<std::uint8_t>(16 + 36 * cube(r) + 6 * cube(g) + cube(b));
}

void append_color(std::string& codes, const Color& color, bool background, ColorSystem system) {
  if (color.kind == Color::Kind::none) return;
  if (!codes.empty()) codes += ';';
  Color c = color;
  if (c.kind == Color::Kind::rgb && system != ColorSystem::truecolor) {
    if (system == ColorSystem::eight_bit) {
      c = Color{Color::Kind::palette, rgb_to_palette(c.r, c.g, c.b)};
    } else {
      c = Color{Color::Kind::ansi, nearest_ansi(c.r, c.g, c.b)};
    }
  }
  if (c.kind == Color::Kind::palette && system == ColorSystem::standard) {
    const auto rgb = palette_rgb(c.index);
    c = Color{Color::Kind::ansi, nearest_ansi(rgb[0], rgb[1], rgb[2])};
  }
  switch (c.kind) {
    case Color::Kind::ansi: {
      const int base = c.index < 8 ? (background ? 40 : 30) : (background ? 100 : 90);
      codes += std::to_string(base + (c.index % 8));
      break;
    }
    case Color::Kind::palette:
      codes += background ? "48;5;" : "38;5;";
      codes += std::to_string(c.index);
      break;
    case Color::Kind::rgb:
      codes += background ? "48;2;" : "38;2;";
      codes += std::to_string(c.r) + ';' + std::to_string(c.g) + ';' + std::to_string(c.b);
      break;
    case Color::Kind::none:
      break;
  }
}

std::string sgr_codes(const Style& style, ColorSystem system) {
  std::string codes;
  const auto add = [&](const char* code) {
    if (!codes.empty()) codes += ';';
    codes += code;
  };
  if (style.bold) add("1");
  if (style.dim) add("2");
  if (style.italic) add("3");
  if (style.underline) add("4");
  if (style.reverse) add("7");
  if (style.strike) add("9");
  append_color(codes, style.fg, false, system);
  append_color(codes, style.bg, true, system);
  return codes;
}

struct OpenTag {
  std::string name;
  Style style;
};

Style stacked_style(const std::vector<OpenTag>& stack) {
  Style style;
  for (const auto& tag : stack) style = style.combined(tag.style);
  return style;
}

void append_text(std::vector<Segment>& out, const Style& style, std::string_view text) {
  if (text.empty()) return;
  if (!out.empty() && out.back().style == style) {
    out.back().text.append(text);
  } else {
    out.push_back(Segment{style, std::string(text)});
  }
}

// Resolves `\[` and `\\` in a run of markup text.
std::string unescape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 1 < text.size() && (text[i + 1] == '[' || text[i + 1] == '\\')) {
      out += text[i + 1];
      ++i;
    } else {
      out += text[i];
    }
  }
  return out;
}

// The first `needle` at or after `from` that is not preceded by an escaping backslash.
std::size_t find_unescaped(std::string_view markup, std::string_view needle, std::size_t from) {
  for (std::size_t i = from; i < markup.size(); ++i) {
    if (markup[i] == '\\' && i + 1 < markup.size() &&
        (markup[i + 1] == '[' || markup[i + 1] == '\\')) {
      ++i;
      continue;
    }
    if (markup.substr(i).starts_with(needle)) return i;
  }
  return std::string_view::npos;
}

// An OSC 8 target ends at the first control byte; such a target would let the rest act as
// terminal commands, so it gets no hyperlink.
bool safe_link_target(std::string_view url) {
  return std::none_of(url.begin(), url.end(), [](char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte < 0x20 || byte == 0x7F;
  });
}

bool looks_like_tag(std::string_view tag) {
  if (tag.empty()) return false;
  const char c = tag.front();
  return (c >= 'a' && c <= 'z') || c == '#' || c == '/';
}

}  // namespace

std::optional<Style> Style::parse(std::string_view words) {
  Style style;
  const auto list = split_words(words);
  for (std::size_t i = 0; i < list.size(); ++i) {
    const std::string_view word = list[i];
    if (word == "bold" || word == "b") {
      style.bold = true;
    } else if (word == "dim" || word == "d") {
      style.dim = true;
    } else if (word == "italic" || word == "i") {
      style.italic = true;
    } else if (word == "underline" || word == "u") {
      style.underline = true;
    } else if (word == "strike" || word == "s") {
      style.strike = true;
    } else if (word == "reverse" || word == "r") {
      style.reverse = true;
    } else if (word == "noinherit" || word == "none") {
      // prompt-style words that carry no attribute of their own
    } else if (word == "on" && i + 1 < list.size()) {
      auto bg = parse_color(list[++i]);
      if (!bg) return std::nullopt;
      style.bg = *bg;
    } else if (word.starts_with("bg:")) {
      auto bg = parse_color(word.substr(3));
      if (!bg) return std::nullopt;
      style.bg = *bg;
    } else if (word.starts_with("fg:")) {
      auto fg = parse_color(word.substr(3));
      if (!fg) return std::nullopt;
      style.fg = *fg;
    } else if (auto fg = parse_color(word)) {
      style.fg = *fg;
    } else {
      return std::nullopt;
    }
  }
  return style;
}

Style Style::combined(const Style& other) const {
  Style out = *this;
  if (other.fg.kind != Color::Kind::none) out.fg = other.fg;
  if (other.bg.kind != Color::Kind::none) out.bg = other.bg;
  out.bold = bold || other.bold;
  out.dim = dim || other.dim;
  out.italic = italic || other.italic;
  out.underline = underline || other.underline;
  out.strike = strike || other.strike;
  out.reverse = reverse || other.reverse;
  if (!other.link.empty()) out.link = other.link;
  return out;
}

bool Style::plain() const noexcept { return *this == Style{}; }

std::vector<Segment> parse_markup(std::string_view markup) {
  std::vector<Segment> out;
  std::vector<OpenTag> stack;
  std::size_t text_start = 0;
  std::size_t i = 0;
  const auto flush_text = [&](std::size_t end) {
    append_text(out, stacked_style(stack), unescape(markup.substr(text_start, end - text_start)));
  };
  while (i < markup.size()) {
    const char c = markup[i];
    if (c == '\\' && i + 1 < markup.size() && (markup[i + 1] == '[' || markup[i + 1] == '\\')) {
      i += 2;
      continue;
    }
    if (c != '[') {
      ++i;
      continue;
    }
    const auto close = markup.find(']', i + 1);
    const auto next_open = markup.find('[', i + 1);
    if (close == std::string_view::npos ||
        (next_open != std::string_view::npos && next_open < close)) {
      ++i;
      continue;
    }
    const std::string_view tag = markup.substr(i + 1, close - i - 1);
    if (!looks_like_tag(tag)) {
      ++i;
      continue;
    }
    if (tag.front() == '/') {
      const std::string_view name = tag.substr(1);
      std::optional<std::size_t> match;
      for (std::size_t k = stack.size(); k-- > 0;) {
        if (name.empty() || stack[k].name == name) {
          match = k;
          break;
        }
      }
      if (!match) {
        ++i;  // closes nothing: printed literally
        continue;
      }
      flush_text(i);
      stack.erase(stack.begin() + static_cast<std::ptrdiff_t>(*match));
      i = close + 1;
      text_start = i;
      continue;
    }
    if (tag == "link") {
      // [link]URL[/link]: the URL is both the target and the text.
      const auto end = find_unescaped(markup, "[/link]", close + 1);
      if (end == std::string_view::npos) {
        ++i;
        continue;
      }
      flush_text(i);
      const std::string url = unescape(markup.substr(close + 1, end - close - 1));
      Style style = stacked_style(stack);
      style.link = url;
      append_text(out, style, url);
      i = end + 7;
      text_start = i;
      continue;
    }
    std::optional<Style> style;
    if (tag.starts_with("link=")) {
      style = Style{};
      style->link = std::string(tag.substr(5));
    } else {
      style = Style::parse(tag);
    }
    if (!style) {
      ++i;  // names no known style: printed literally
      continue;
    }
    flush_text(i);
    stack.push_back(OpenTag{tag.starts_with("link=") ? "link" : std::string(tag), *style});
    i = close + 1;
    text_start = i;
  }
  flush_text(markup.size());
  return out;
}

std::string strip_markup(std::string_view markup) {
  std::string out;
  for (const auto& segment : parse_markup(markup)) out += segment.text;
  return out;
}

std::string render_segments(const std::vector<Segment>& segments, ColorSystem colors) {
  std::string out;
  for (const auto& segment : segments) {
    if (colors == ColorSystem::none || segment.style.plain()) {
      out += segment.text;
      continue;
    }
    const std::string codes = sgr_codes(segment.style, colors);
    const bool link = !segment.style.link.empty() && safe_link_target(segment.style.link);
    if (link) out += "\x1b]8;;" + segment.style.link + "\x1b\\";
    if (!codes.empty()) out += "\x1b[" + codes + "m";
    out += segment.text;
    if (!codes.empty()) out += "\x1b[0m";
    if (link) out += "\x1b]8;;\x1b\\";
  }
  return out;
}

void FdSink::write(std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd_, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      // A closed pipe or a full disk never stops the program here; its end reports the loss.
      if (!error_) error_ = errno;
      return;
    }
    if (n == 0) {  // nothing taken and no error: retrying would spin
      if (!error_) error_ = EIO;
      return;
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
}

Console::Console(ConsoleOptions options, std::shared_ptr<OutputSink> sink)
    : options_(std::move(options)), sink_(sink ? std::move(sink) : std::make_shared<FdSink>(1)) {
  if (options_.no_color || !options_.color_system) {
    colors_ = ColorSystem::none;
  } else if (*options_.color_system == "truecolor") {
    colors_ = ColorSystem::truecolor;
  } else if (*options_.color_system == "256") {
    colors_ = ColorSystem::eight_bit;
  } else if (*options_.color_system == "standard") {
    colors_ = ColorSystem::standard;
  } else {
    const char* colorterm = std::getenv("COLORTERM");
    const char* term = std::getenv("TERM");
    const std::string_view ct = colorterm ? colorterm : "";
    const std::string_view t = term ? term : "";
    if (t == "dumb" || t == "unknown") {
      // Such terminals show escape codes as text.
      colors_ = ColorSystem::none;
    } else if (ct == "truecolor" || ct == "24bit") {
      colors_ = ColorSystem::truecolor;
    } else if (t.find("256color") != std::string_view::npos) {
      colors_ = ColorSystem::eight_bit;
    } else {
      colors_ = ColorSystem::standard;
    }
  }
}

std::string Console::escape(std::string_view raw) {
  // Carriage returns go first: dropped in passing, "\xC2\r\x9B" would close up into a C1 CSI.
  std::string text(raw);
  std::erase(text, '\r');
  std::string out;
  out.reserve(text.size() + 8);
  // The caret forms of ESC and FS end in "[" and "\\", which markup must take literally too.
  const auto append_caret = [&out](unsigned char control) {
    const char shown = static_cast<char>(control ^ 0x40);
    out += '^';
    if (shown == '[' || shown == '\\') out += '\\';
    out += shown;
  };
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    const auto byte = static_cast<unsigned char>(c);
    if ((byte < 0x20 && c != '\n' && c != '\t') || byte == 0x7F) {
      // A value is shown, never obeyed by the terminal: caret form, as `cat -v` shows it.
      append_caret(byte);
      continue;
    }
    if (byte == 0xC2 && i + 1 < text.size()) {
      // The C1 controls (U+0080..U+009F; U+009B is a whole CSI) as `cat -v` names them.
      const auto next = static_cast<unsigned char>(text[i + 1]);
      if (next >= 0x80 && next <= 0x9F) {
        out += "M-";
        append_caret(static_cast<unsigned char>(next - 0x80));
        ++i;
        continue;
      }
    }
    if (c == '[' || c == '\\') out += '\\';
    out += c;
  }
  return out;
}

std::string Console::render(std::string_view markup) const {
  return render_segments(parse_markup(markup), colors_);
}

void Console::print(std::string_view markup, std::string_view end) {
  std::string bytes = render(markup);
  bytes.append(end);
  sink_->write(bytes);
  sink_->flush();
}

void Console::print_segments(const std::vector<Segment>& segments, std::string_view end) {
  std::string bytes = render_segments(segments, colors_);
  bytes.append(end);
  sink_->write(bytes);
  sink_->flush();
}

void Console::write_raw(std::string_view bytes) {
  sink_->write(bytes);
  sink_->flush();
}

void Console::clear() {
  if (colors_ == ColorSystem::none || !options_.force_terminal) return;
  sink_->write("\x1b[2J\x1b[H");
  sink_->flush();
}

void Console::flush() { sink_->flush(); }

int Console::width() const {
  if (const char* columns = std::getenv("COLUMNS")) {
    int value = 0;
    const std::string_view text(columns);
    const auto res = std::from_chars(text.data(), text.data() + text.size(), value);
    if (res.ec == std::errc{} && value > 0) return value;
  }
  winsize ws{};
  if (::ioctl(1, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) return ws.ws_col;
  return 80;
}

void Console::set_sink(std::shared_ptr<OutputSink> sink) {
  if (sink) sink_ = std::move(sink);
}

}  // namespace velmora::term
