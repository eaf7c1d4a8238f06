#include "text_util.hpp"

#include <openssl/rand.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <stdexcept>

#include <boost/url/encoding_opts.hpp>
#include <boost/url/params_view.hpp>
#include <boost/url/parse_query.hpp>

namespace velmora::agent_sim {

std::optional<FormFields> parse_form(std::string_view text) {
  if (text.empty()) return FormFields{};
  auto encoded = boost::urls::parse_query(text);
  if (!encoded) return std::nullopt;
  boost::urls::encoding_opts opts;
  opts.space_as_plus = true;
  FormFields fields;
  for (const auto& param : boost::urls::params_view(*encoded, opts)) {
    fields.emplace_back(param.key, param.has_value ? std::string(param.value) : std::string());
  }
  return fields;
}

const std::string* form_value(const FormFields& fields, std::string_view name) {
  for (const auto& [key, value] : fields) {
    if (key == name) return &value;
  }
  return nullptr;
}

namespace {

void fill_random(unsigned char* out, std::size_t n) {
  if (RAND_bytes(out, static_cast<int>(n)) != 1) {
    throw std::runtime_error("random number generator failed");
  }
}

void append_hex(std::string& out, const unsigned char* bytes, std::size_t n) {
  static constexpr char DIGITS[] = "0123456789abcdef";
  for (std::size_t i = 0; i < n; ++i) {
    out.push_back(DIGITS[bytes[i] >> 4]);
    out.push_back(DIGITS[bytes[i] & 0x0f]);
  }
}

}  // namespace

std::string random_uuid() {
  unsigned char b[16];
  fill_random(b, sizeof b);
  b[6] = static_cast<unsigned char>((b[6] & 0x0f) | 0x40);
  b[8] = static_cast<unsigned char>((b[8] & 0x3f) | 0x80);
  std::string out;
  out.reserve(36);
  append_hex(out, b, 4);
  out.push_back('-');
  append_hex(out, b + 4, 2);
  out.push_back('-');
  append_hex(out, b + 6, 2);
  out.push_back('-');
  append_hex(out, b + 8, 2);
  out.push_back('-');
  append_hex(out, b + 10, 6);
  return out;
}

std::string random_hex(std::size_t bytes) {
  std::string raw(bytes, '\0');
  fill_random(reinterpret_cast<unsigned char*>(raw.data()), bytes);
  std::string out;
  out.reserve(bytes * 2);
  append_hex(out, reinterpret_cast<const unsigned char*>(raw.data()), bytes);
  return out;
}

std::string to_lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

bool iequals(std::string_view a, std::string_view b) noexcept {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i];
    char y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

std::string safe_file_component(std::string_view name, std::string_view fallback) {
  // Most file systems limit a name to 255 bytes; leave room for a collision suffix.
  constexpr std::size_t MAX_BYTES = 200;
  std::string out;
  for (const char c : name) {
    const auto u = static_cast<unsigned char>(c);
    out.push_back(u < 0x20 || u == 0x7f || c == '/' || c == '\\' ? '_' : c);
  }
  if (out.size() > MAX_BYTES) {
    std::size_t cut = MAX_BYTES;
    // Never split a UTF-8 sequence.
    while (cut > 0 && (static_cast<unsigned char>(out[cut]) & 0xc0) == 0x80) --cut;
    out.resize(cut);
  }
  if (!out.empty() && out.front() == '.') out.front() = '_';
  if (out.empty()) out = std::string(fallback);
  return out;
}

std::string utc_timestamp() {
  using namespace std::chrono;
  const auto now = system_clock::now();
  const auto secs = system_clock::to_time_t(now);
  const auto millis = duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm tm{};
  gmtime_r(&secs, &tm);
  char buf[80];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900,
                tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                static_cast<int>(millis));
  return buf;
}

double wall_seconds() {
  using namespace std::chrono;
  return duration<double>(system_clock::now().time_since_epoch()).count();
}

}  // namespace velmora::agent_sim
