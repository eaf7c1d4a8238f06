#include "multipart_parser.hpp"

#include <array>
#include <utility>

#include "text_util.hpp"

namespace velmora::agent_sim {
namespace {

constexpr std::array<std::string_view, 3> PART_NAMES = {"file", "thread_id", "user_id"};
constexpr std::size_t MAX_HEADER_BYTES = 16 * 1024;
constexpr std::size_t MAX_FIELD_BYTES = 64 * 1024;

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

bool is_token_char(char c) {
  const auto u = static_cast<unsigned char>(c);
  if (u <= 0x20 || u >= 0x7f) return false;
  return std::string_view("()<>@,;:\\\"/[]?={}").find(c) == std::string_view::npos;
}

struct Disposition {
  std::optional<std::string> name;
  std::optional<std::string> filename;
};

// `form-data; name="x"; filename="y"`: quoted values end at the next quote (the client escapes
// quotes, CR and LF in names as %22, %0D, %0A rather than with backslashes).
std::optional<Disposition> parse_disposition(std::string_view value, std::string& error) {
  const auto semi = value.find(';');
  if (!iequals(trim(value.substr(0, semi)), "form-data")) {
    error = "Content-Disposition must be form-data";
    return std::nullopt;
  }
  Disposition out;
  std::string_view rest = semi == std::string_view::npos ? "" : value.substr(semi + 1);
  while (true) {
    rest = trim(rest);
    if (rest.empty()) break;
    const auto eq = rest.find('=');
    if (eq == std::string_view::npos) {
      error = "malformed Content-Disposition parameter";
      return std::nullopt;
    }
    const std::string key = to_lower(trim(rest.substr(0, eq)));
    rest = trim(rest.substr(eq + 1));
    std::string param;
    if (!rest.empty() && rest.front() == '"') {
      const auto close = rest.find('"', 1);
      if (close == std::string_view::npos) {
        error = "unterminated quoted value in Content-Disposition";
        return std::nullopt;
      }
      param = std::string(rest.substr(1, close - 1));
      rest.remove_prefix(close + 1);
    } else {
      std::size_t n = 0;
      while (n < rest.size() && is_token_char(rest[n])) ++n;
      if (n == 0) {
        error = "malformed Content-Disposition parameter " + key;
        return std::nullopt;
      }
      param = std::string(rest.substr(0, n));
      rest.remove_prefix(n);
    }
    rest = trim(rest);
    if (!rest.empty()) {
      if (rest.front() != ';') {
        error = "unexpected text after Content-Disposition parameter " + key;
        return std::nullopt;
      }
      rest.remove_prefix(1);
    }
    auto* slot = key == "name" ? &out.name : key == "filename" ? &out.filename : nullptr;
    if (slot == nullptr) {
      error = "unexpected Content-Disposition parameter " + key;
      return std::nullopt;
    }
    if (*slot) {
      error = "repeated Content-Disposition parameter " + key;
      return std::nullopt;
    }
    *slot = std::move(param);
  }
  return out;
}

}  // namespace

std::optional<std::string> multipart_boundary(std::string_view content_type, std::string& error) {
  const auto semi = content_type.find(';');
  if (!iequals(trim(content_type.substr(0, semi)), "multipart/form-data")) {
    error = "Content-Type must be multipart/form-data";
    return std::nullopt;
  }
  std::string_view rest = semi == std::string_view::npos ? "" : content_type.substr(semi + 1);
  while (!rest.empty()) {
    const auto next = rest.find(';');
    const std::string_view param = trim(rest.substr(0, next));
    rest = next == std::string_view::npos ? "" : rest.substr(next + 1);
    const auto eq = param.find('=');
    if (eq == std::string_view::npos || !iequals(trim(param.substr(0, eq)), "boundary")) continue;
    std::string_view value = trim(param.substr(eq + 1));
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
      value = value.substr(1, value.size() - 2);
    }
    if (value.empty() || value.size() > 70) {
      error = "multipart boundary must have 1 to 70 characters";
      return std::nullopt;
    }
    for (const char c : value) {
      const auto u = static_cast<unsigned char>(c);
      if (u < 0x20 || u >= 0x7f) {
        error = "multipart boundary holds a control or non-ASCII character";
        return std::nullopt;
      }
    }
    return std::string(value);
  }
  error = "Content-Type has no boundary";
  return std::nullopt;
}

std::string decode_file_name(std::string_view raw) {
  std::string out;
  out.reserve(raw.size());
  for (std::size_t i = 0; i < raw.size(); ++i) {
    if (raw[i] == '%' && i + 2 < raw.size()) {
      const std::string code = to_lower(raw.substr(i + 1, 2));
      const char decoded = code == "22" ? '"' : code == "0d" ? '\r' : code == "0a" ? '\n' : 0;
      if (decoded != 0) {
        out.push_back(decoded);
        i += 2;
        continue;
      }
    }
    out.push_back(raw[i]);
  }
  return out;
}

MultipartParser::MultipartParser(std::string boundary, MultipartCallbacks callbacks)
    : delimiter_("\r\n--" + boundary), callbacks_(std::move(callbacks)) {}

bool MultipartParser::fail(std::string reason) {
  if (state_ != State::failed) {
    state_ = State::failed;
    error_ = std::move(reason);
  }
  return false;
}

bool MultipartParser::feed(std::string_view bytes) {
  if (state_ == State::failed) return false;
  buffer_.append(bytes);
  std::size_t pos = 0;
  while (state_ != State::failed && step(pos)) {
  }
  buffer_.erase(0, pos);
  return state_ != State::failed;
}

bool MultipartParser::finish() {
  if (state_ == State::failed) return false;
  if (state_ != State::done) return fail("body ended before the closing boundary");
  return true;
}

// Consumes what it can from `pos`; true when it made progress and may go on.
bool MultipartParser::step(std::size_t& pos) {
  const std::string_view avail = std::string_view(buffer_).substr(pos);
  switch (state_) {
    case State::opening: {
      // The opening line is the delimiter without its leading CRLF.
      const std::string line = delimiter_.substr(2) + "\r\n";
      const std::size_t n = std::min(avail.size(), line.size());
      if (avail.substr(0, n) != std::string_view(line).substr(0, n)) {
        return fail("body must start with the boundary line");
      }
      if (n < line.size()) return false;
      pos += line.size();
      state_ = State::headers;
      return true;
    }
    case State::headers: {
      const auto eol = avail.find("\r\n");
      if (eol == std::string_view::npos) {
        if (header_bytes_ + avail.size() > MAX_HEADER_BYTES) return fail("part headers too long");
        return false;
      }
      header_bytes_ += eol + 2;
      if (header_bytes_ > MAX_HEADER_BYTES) return fail("part headers too long");
      const std::string_view line = avail.substr(0, eol);
      pos += eol + 2;
      return line.empty() ? end_of_headers() : header_line(line);
    }
    case State::body: {
      const auto at = avail.find(delimiter_);
      if (at != std::string_view::npos) {
        take_body(avail.substr(0, at));
        pos += at + delimiter_.size();
        state_ = State::after_delimiter;
        return state_ != State::failed;
      }
      // Hold back what could be the start of a delimiter split across chunks.
      const std::size_t keep = delimiter_.size() - 1;
      if (avail.size() > keep) {
        const std::size_t n = avail.size() - keep;
        take_body(avail.substr(0, n));
        pos += n;
      }
      return false;
    }
    case State::after_delimiter: {
      if (avail.size() < 2) return false;
      const std::string_view mark = avail.substr(0, 2);
      pos += 2;
      if (mark == "\r\n") {
        if (!end_of_part()) return false;
        if (part_ == PART_NAMES.size()) {
          return fail("unexpected part after user_id (expected the closing boundary)");
        }
        state_ = State::headers;
        return true;
      }
      if (mark == "--") {
        if (!end_of_part()) return false;
        if (part_ < PART_NAMES.size()) {
          return fail("missing part " + std::string(PART_NAMES[part_]));
        }
        state_ = State::closing;
        return true;
      }
      return fail("malformed boundary line");
    }
    case State::closing: {
      if (avail.size() < 2) return false;
      if (avail.substr(0, 2) != "\r\n") return fail("closing boundary must end with CRLF");
      pos += 2;
      state_ = State::done;
      return true;
    }
    case State::done:
      if (!avail.empty()) return fail("data after the closing boundary");
      return false;
    case State::failed:
      return false;
  }
  return false;
}

bool MultipartParser::header_line(std::string_view line) {
  const std::string part_name(PART_NAMES[part_]);
  const auto colon = line.find(':');
  if (colon == std::string_view::npos || colon == 0 || line.front() == ' ' ||
      line.front() == '\t' || line.find_first_of("\r\n") != std::string_view::npos) {
    return fail("malformed header line in part " + part_name);
  }
  const std::string_view name = line.substr(0, colon);
  for (const char c : name) {
    if (!is_token_char(c)) return fail("malformed header name in part " + part_name);
  }
  const std::string value(trim(line.substr(colon + 1)));
  std::optional<std::string>* slot = nullptr;
  if (iequals(name, "Content-Disposition")) {
    slot = &disposition_;
  } else if (iequals(name, "Content-Type") && part_ == 0) {
    slot = &part_type_;
  } else {
    return fail("unexpected header " + std::string(name) + " in part " + part_name);
  }
  if (*slot) return fail("repeated header " + std::string(name) + " in part " + part_name);
  *slot = value;
  return true;
}

bool MultipartParser::end_of_headers() {
  const std::string expected(PART_NAMES[part_]);
  if (!disposition_)
    return fail("part " + std::to_string(part_ + 1) + " has no Content-Disposition");
  std::string error;
  const auto disposition = parse_disposition(*disposition_, error);
  if (!disposition) return fail(error + " in part " + std::to_string(part_ + 1));
  if (disposition->name != expected) {
    return fail("part " + std::to_string(part_ + 1) + " must be named " + expected + ", not " +
                disposition->name.value_or("(none)"));
  }
  if (part_ == 0) {
    if (!disposition->filename || disposition->filename->empty()) {
      return fail("part file has no filename");
    }
    if (!part_type_ || part_type_->empty()) return fail("part file has no Content-Type");
    fields_.file_name_raw = *disposition->filename;
    fields_.file_name = decode_file_name(fields_.file_name_raw);
    fields_.content_type = *part_type_;
    if (callbacks_.on_file_start) callbacks_.on_file_start(fields_);
  } else if (disposition->filename) {
    return fail("part " + expected + " must not carry a filename");
  }
  field_value_.clear();
  state_ = State::body;
  return true;
}

void MultipartParser::take_body(std::string_view bytes) {
  if (bytes.empty()) return;
  if (part_ == 0) {
    fields_.file_size += bytes.size();
    if (callbacks_.on_file_data) callbacks_.on_file_data(bytes);
    return;
  }
  if (field_value_.size() + bytes.size() > MAX_FIELD_BYTES) {
    fail("field " + std::string(PART_NAMES[part_]) + " is too long");
    return;
  }
  field_value_.append(bytes);
}

bool MultipartParser::end_of_part() {
  if (part_ == 1) fields_.thread_id = std::move(field_value_);
  if (part_ == 2) fields_.user_id = std::move(field_value_);
  field_value_.clear();
  disposition_.reset();
  part_type_.reset();
  header_bytes_ = 0;
  ++part_;
  return true;
}

}  // namespace velmora::agent_sim
