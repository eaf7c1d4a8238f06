#include <charconv>
#include <vector>

#include "velmora/term/keys.hpp"

namespace velmora::term {
namespace {

constexpr std::string_view PASTE_END = "\x1b[201~";

Key make(KeyCode code) { return Key{.code = code}; }

Key control_key(unsigned char byte) {
  switch (byte) {
    case '\r':
      return make(KeyCode::enter);
    case '\t':
      return make(KeyCode::tab);
    case 0x7F:
    case 0x08:
      return make(KeyCode::backspace);
    case 0x1B:
      return make(KeyCode::escape);
    default:
      break;
  }
  Key key = make(KeyCode::control);
  if (byte == 0) {
    key.letter = '@';
  } else if (byte <= 26) {
    key.letter = static_cast<char>('a' + byte - 1);
  } else {
    key.letter = static_cast<char>(byte + 0x40);  // 28..31: \ ] ^ _
  }
  return key;
}

std::vector<int> parse_params(std::string_view params) {
  std::vector<int> out;
  std::size_t at = 0;
  while (at <= params.size()) {
    const std::size_t end = std::min(params.find(';', at), params.size());
    int value = 0;
    const auto part = params.substr(at, end - at);
    std::from_chars(part.data(), part.data() + part.size(), value);
    out.push_back(value);
    at = end + 1;
  }
  return out;
}

void apply_modifiers(Key& key, int modifier) {
  if (modifier < 2) return;
  const int bits = modifier - 1;
  key.shift = (bits & 1) != 0;
  key.alt = (bits & 2) != 0;
  key.ctrl = (bits & 4) != 0;
}

Key key_for_code_point(int code) {
  if (code == 13) return make(KeyCode::enter);
  if (code == 9) return make(KeyCode::tab);
  if (code == 127 || code == 8) return make(KeyCode::backspace);
  if (code == 27) return make(KeyCode::escape);
  if (code > 0 && code < 0x20) return control_key(static_cast<unsigned char>(code));
  Key key = make(KeyCode::character);
  if (code <= 0 || code > 0x10FFFF) return make(KeyCode::unknown);
  // Encode as UTF-8.
  const auto cp = static_cast<unsigned>(code);
  std::string& t = key.text;
  if (cp < 0x80) {
    t += static_cast<char>(cp);
  } else if (cp < 0x800) {
    t += static_cast<char>(0xC0 | (cp >> 6));
    t += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    t += static_cast<char>(0xE0 | (cp >> 12));
    t += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    t += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    t += static_cast<char>(0xF0 | (cp >> 18));
    t += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    t += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    t += static_cast<char>(0x80 | (cp & 0x3F));
  }
  return key;
}

Key csi_key(std::string_view params, char final_byte, std::string_view raw) {
  const auto values = parse_params(params);
  const int first = values.empty() ? 0 : values[0];
  const int modifier = values.size() > 1 ? values[1] : 0;
  Key key = make(KeyCode::unknown);
  switch (final_byte) {
    case 'A':
      key = make(KeyCode::up);
      break;
    case 'B':
      key = make(KeyCode::down);
      break;
    case 'C':
      key = make(KeyCode::right);
      break;
    case 'D':
      key = make(KeyCode::left);
      break;
    case 'H':
      key = make(KeyCode::home);
      break;
    case 'F':
      key = make(KeyCode::end);
      break;
    case 'Z':
      return make(KeyCode::backtab);
    case 'u':
      key = key_for_code_point(first);
      break;
    case '~':
      switch (first) {
        case 1:
        case 7:
          key = make(KeyCode::home);
          break;
        case 4:
        case 8:
          key = make(KeyCode::end);
          break;
        case 2:
          key = make(KeyCode::insert);
          break;
        case 3:
          key = make(KeyCode::delete_);
          break;
        case 5:
          key = make(KeyCode::page_up);
          break;
        case 6:
          key = make(KeyCode::page_down);
          break;
        case 27:  // xterm modifyOtherKeys: CSI 27 ; modifier ; code ~
          key = key_for_code_point(values.size() > 2 ? values[2] : 0);
          break;
        default:
          break;
      }
      break;
    default:
      break;
  }
  if (key.code == KeyCode::unknown) {
    key.text = std::string(raw);
    return key;
  }
  apply_modifiers(key, modifier);
  if (key.code == KeyCode::character && !key.text.empty() && key.ctrl && !key.alt) {
    // Ctrl with a letter arrives this way under modifyOtherKeys.
    const char c = key.text[0];
    if (key.text.size() == 1 && c >= 'a' && c <= 'z') {
      Key ctrl = make(KeyCode::control);
      ctrl.letter = c;
      return ctrl;
    }
  }
  return key;
}

Key ss3_key(char c, std::string_view raw) {
  switch (c) {
    case 'A':
      return make(KeyCode::up);
    case 'B':
      return make(KeyCode::down);
    case 'C':
      return make(KeyCode::right);
    case 'D':
      return make(KeyCode::left);
    case 'H':
      return make(KeyCode::home);
    case 'F':
      return make(KeyCode::end);
    case 'M':
      return make(KeyCode::enter);
    default: {
      Key key = make(KeyCode::unknown);
      key.text = std::string(raw);
      return key;
    }
  }
}

std::size_t utf8_length(unsigned char lead) {
  if (lead < 0x80) return 1;
  if ((lead & 0xE0) == 0xC0) return 2;
  if ((lead & 0xF0) == 0xE0) return 3;
  if ((lead & 0xF8) == 0xF0) return 4;
  return 0;
}

bool valid_utf8(std::string_view s) {
  const auto n = utf8_length(static_cast<unsigned char>(s[0]));
  if (n == 0 || n != s.size()) return false;
  for (std::size_t i = 1; i < n; ++i) {
    if ((static_cast<unsigned char>(s[i]) & 0xC0) != 0x80) return false;
  }
  const auto b0 = static_cast<unsigned char>(s[0]);
  if (n == 2 && b0 < 0xC2) return false;  // overlong
  if (n == 3) {
    const auto b1 = static_cast<unsigned char>(s[1]);
    if (b0 == 0xE0 && b1 < 0xA0) return false;
    if (b0 == 0xED && b1 >= 0xA0) return false;  // surrogates
  }
  if (n == 4) {
    const auto b1 = static_cast<unsigned char>(s[1]);
    if (b0 == 0xF0 && b1 < 0x90) return false;
    if (b0 > 0xF4 || (b0 == 0xF4 && b1 >= 0x90)) return false;
  }
  return true;
}

std::string normalise_paste(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r') {
      out += '\n';
      if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
    } else {
      out += text[i];
    }
  }
  return out;
}

}  // namespace

std::string describe(const Key& key) {
  std::string prefix;
  if (key.ctrl) prefix += "C-";
  if (key.alt) prefix += "M-";
  if (key.shift) prefix += "S-";
  switch (key.code) {
    case KeyCode::character:
      return prefix + "'" + key.text + "'";
    case KeyCode::paste:
      return "paste(" + key.text + ")";
    case KeyCode::control:
      return prefix + "C-" + std::string(1, key.letter);
    case KeyCode::enter:
      return prefix + "enter";
    case KeyCode::tab:
      return prefix + "tab";
    case KeyCode::backtab:
      return prefix + "s-tab";
    case KeyCode::backspace:
      return prefix + "backspace";
    case KeyCode::escape:
      return prefix + "escape";
    case KeyCode::up:
      return prefix + "up";
    case KeyCode::down:
      return prefix + "down";
    case KeyCode::left:
      return prefix + "left";
    case KeyCode::right:
      return prefix + "right";
    case KeyCode::home:
      return prefix + "home";
    case KeyCode::end:
      return prefix + "end";
    case KeyCode::insert:
      return prefix + "insert";
    case KeyCode::delete_:
      return prefix + "delete";
    case KeyCode::page_up:
      return prefix + "pageup";
    case KeyCode::page_down:
      return prefix + "pagedown";
    case KeyCode::unknown:
      break;
  }
  return "unknown";
}

void KeyDecoder::feed(std::string_view bytes) {
  buf_.append(bytes);
  decode();
}

std::optional<Key> KeyDecoder::next() {
  if (keys_.empty()) return std::nullopt;
  Key key = std::move(keys_.front());
  keys_.pop_front();
  return key;
}

bool KeyDecoder::waiting() const noexcept { return !in_paste_ && !buf_.empty(); }

void KeyDecoder::flush_escape() {
  if (in_paste_) return;
  while (!buf_.empty()) {
    std::size_t used = decode_one(true);
    if (used == 0) used = 1;
    buf_.erase(0, used);
    decode();
  }
}

void KeyDecoder::decode() {
  while (!buf_.empty()) {
    if (in_paste_) {
      const auto end = buf_.find(PASTE_END);
      if (end == std::string::npos) {
        // Keep a tail that may be the start of the end marker.
        const std::size_t keep = std::min(buf_.size(), PASTE_END.size() - 1);
        paste_.append(buf_, 0, buf_.size() - keep);
        buf_.erase(0, buf_.size() - keep);
        return;
      }
      paste_.append(buf_, 0, end);
      buf_.erase(0, end + PASTE_END.size());
      in_paste_ = false;
      keys_.push_back(Key{.code = KeyCode::paste, .text = normalise_paste(paste_)});
      paste_.clear();
      continue;
    }
    const std::size_t used = decode_one(false);
    if (used == 0) return;
    buf_.erase(0, used);
  }
}

std::size_t KeyDecoder::decode_one(bool final) {
  const auto b = static_cast<unsigned char>(buf_[0]);
  if (b == 0x1B) {
    if (buf_.size() == 1) {
      if (!final) return 0;
      keys_.push_back(make(KeyCode::escape));
      return 1;
    }
    const char second = buf_[1];
    if (second == '[') {
      std::size_t at = 2;
      while (at < buf_.size()) {
        const auto c = static_cast<unsigned char>(buf_[at]);
        if (c >= 0x40 && c <= 0x7E) break;
        if (c < 0x20 || c > 0x3F) {
          // Not a sequence after all: drop the broken start rather than type it.
          Key key = make(KeyCode::unknown);
          key.text = buf_.substr(0, at);
          keys_.push_back(std::move(key));
          return at;
        }
        ++at;
      }
      if (at >= buf_.size()) {
        if (!final) return 0;
        if (buf_.size() == 2) {
          Key key = make(KeyCode::character);
          key.text = "[";
          key.alt = true;
          keys_.push_back(std::move(key));
          return 2;
        }
        Key key = make(KeyCode::unknown);
        key.text = buf_;
        keys_.push_back(std::move(key));
        return buf_.size();
      }
      const std::string_view raw(buf_.data(), at + 1);
      const std::string_view params = raw.substr(2, at - 2);
      if (buf_[at] == '~' && params == "200") {
        in_paste_ = true;
        return at + 1;
      }
      if (buf_[at] == '~' && params == "201") return at + 1;  // a stray end marker
      keys_.push_back(csi_key(params, buf_[at], raw));
      return at + 1;
    }
    if (second == 'O') {
      if (buf_.size() < 3) {
        if (!final) return 0;
        Key key = make(KeyCode::character);
        key.text = "O";
        key.alt = true;
        keys_.push_back(std::move(key));
        return 2;
      }
      keys_.push_back(ss3_key(buf_[2], std::string_view(buf_.data(), 3)));
      return 3;
    }
    if (second == '\x1b') {
      keys_.push_back(make(KeyCode::escape));
      return 1;
    }
    // Alt + key: decode what follows and mark it.
    const std::string saved = buf_;
    buf_.erase(0, 1);
    const std::size_t before = keys_.size();
    const std::size_t used = decode_one(final);
    buf_ = saved;
    if (used == 0) return 0;
    if (keys_.size() > before) keys_.back().alt = true;
    return used + 1;
  }
  if (b < 0x20 || b == 0x7F) {
    keys_.push_back(control_key(b));
    return 1;
  }
  const std::size_t n = utf8_length(b);
  if (n == 0) {
    keys_.push_back(Key{.code = KeyCode::character, .text = "\xEF\xBF\xBD"});
    return 1;
  }
  if (buf_.size() < n) {
    // A character split across reads waits; but bytes that can never complete it do not.
    bool could_complete = true;
    for (std::size_t i = 1; i < buf_.size(); ++i) {
      if ((static_cast<unsigned char>(buf_[i]) & 0xC0) != 0x80) could_complete = false;
    }
    if (could_complete && !final) return 0;
    keys_.push_back(Key{.code = KeyCode::character, .text = "\xEF\xBF\xBD"});
    return 1;
  }
  const std::string_view seq(buf_.data(), n);
  if (!valid_utf8(seq)) {
    keys_.push_back(Key{.code = KeyCode::character, .text = "\xEF\xBF\xBD"});
    return 1;
  }
  keys_.push_back(Key{.code = KeyCode::character, .text = std::string(seq)});
  return n;
}

}  // namespace velmora::term
