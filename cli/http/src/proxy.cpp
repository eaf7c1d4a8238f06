#include "velmora/http/proxy.hpp"

#include <openssl/evp.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <vector>

#include <boost/asio/ip/address.hpp>

#include "velmora/base/errors.hpp"
#include "velmora/base/strings.hpp"
#include "velmora/platform/env.hpp"

namespace velmora::http {
namespace {

std::string first_env(std::initializer_list<const char*> names) {
  for (const char* name : names) {
    if (auto value = platform::get_env(name)) {
      auto trimmed = base::trim(*value);
      if (!trimmed.empty()) return std::string(trimmed);
    }
  }
  return {};
}

std::optional<std::uint16_t> parse_port(std::string_view text) {
  unsigned value = 0;
  const auto* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (text.empty() || ec != std::errc() || ptr != end || value == 0 || value > 65535) {
    return std::nullopt;
  }
  return static_cast<std::uint16_t>(value);
}

std::string percent_decode(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size()) {
      unsigned value = 0;
      const auto [ptr, ec] = std::from_chars(text.data() + i + 1, text.data() + i + 3, value, 16);
      if (ec == std::errc() && ptr == text.data() + i + 3) {
        out.push_back(static_cast<char>(value));
        i += 2;
        continue;
      }
    }
    out.push_back(text[i]);
  }
  return out;
}

std::string base64(std::string_view bytes) {
  std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
  const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                reinterpret_cast<const unsigned char*>(bytes.data()),
                                static_cast<int>(bytes.size()));
  out.resize(static_cast<std::size_t>(n));
  return out;
}

// Splits "host", "host:port", "[v6]" or "[v6]:port"; the port view is empty when absent.
bool split_host_port(std::string_view text, std::string_view& host, std::string_view& port) {
  port = {};
  if (!text.empty() && text.front() == '[') {
    const auto close = text.find(']');
    if (close == std::string_view::npos) return false;
    host = text.substr(1, close - 1);
    const auto rest = text.substr(close + 1);
    if (rest.empty()) return true;
    if (rest.front() != ':') return false;
    port = rest.substr(1);
    return true;
  }
  const auto colon = text.rfind(':');
  // More than one colon without brackets is a bare IPv6 address.
  if (colon != std::string_view::npos && text.find(':') == colon) {
    host = text.substr(0, colon);
    port = text.substr(colon + 1);
  } else {
    host = text;
  }
  return true;
}

bool matches_cidr(const boost::asio::ip::address& ip, std::string_view entry) {
  const auto slash = entry.find('/');
  boost::system::error_code ec;
  const auto net = boost::asio::ip::make_address(std::string(entry.substr(0, slash)), ec);
  if (ec || net.is_v4() != ip.is_v4()) return false;
  const unsigned width = ip.is_v4() ? 32 : 128;
  unsigned bits = width;
  if (slash != std::string_view::npos) {
    const auto text = entry.substr(slash + 1);
    const auto [ptr, pec] = std::from_chars(text.data(), text.data() + text.size(), bits);
    if (pec != std::errc() || ptr != text.data() + text.size() || bits > width) return false;
  }
  std::vector<unsigned char> a, b;
  if (ip.is_v4()) {
    const auto x = ip.to_v4().to_bytes();
    const auto y = net.to_v4().to_bytes();
    a.assign(x.begin(), x.end());
    b.assign(y.begin(), y.end());
  } else {
    const auto x = ip.to_v6().to_bytes();
    const auto y = net.to_v6().to_bytes();
    a.assign(x.begin(), x.end());
    b.assign(y.begin(), y.end());
  }
  for (unsigned i = 0; i < bits; ++i) {
    const unsigned mask = 0x80U >> (i % 8);
    if ((a[i / 8] & mask) != (b[i / 8] & mask)) return false;
  }
  return true;
}

}  // namespace

ProxySettings proxy_settings_from_env() {
  ProxySettings settings;
  const bool cgi = platform::get_env("REQUEST_METHOD").has_value();
  const std::string all = first_env({"all_proxy", "ALL_PROXY"});
  settings.http_proxy = cgi ? first_env({"http_proxy"}) : first_env({"http_proxy", "HTTP_PROXY"});
  if (settings.http_proxy.empty()) settings.http_proxy = all;
  settings.https_proxy = first_env({"https_proxy", "HTTPS_PROXY"});
  if (settings.https_proxy.empty()) settings.https_proxy = all;
  settings.no_proxy = first_env({"no_proxy", "NO_PROXY"});
  return settings;
}

bool bypasses_proxy(std::string_view host, std::uint16_t port, std::string_view no_proxy) {
  std::string name = base::ascii_lower(host);
  while (!name.empty() && name.back() == '.') name.pop_back();
  boost::system::error_code ec;
  const auto ip = boost::asio::ip::make_address(name, ec);
  const bool is_ip = !ec;

  std::string list(no_proxy);
  std::replace_if(
      list.begin(), list.end(), [](char c) { return std::isspace(static_cast<unsigned char>(c)); },
      ',');
  std::size_t start = 0;
  while (start <= list.size()) {
    const auto end = std::min(list.find(',', start), list.size());
    std::string_view entry(list.data() + start, end - start);
    start = end + 1;
    if (entry.empty()) continue;
    if (entry == "*") return true;

    std::string_view entry_host;
    std::string_view entry_port;
    if (entry.find('/') != std::string_view::npos) {
      if (is_ip && matches_cidr(ip, entry)) return true;
      continue;
    }
    if (!split_host_port(entry, entry_host, entry_port)) continue;
    if (!entry_port.empty() && parse_port(entry_port) != port) continue;

    std::string pattern = base::ascii_lower(entry_host);
    if (pattern.starts_with("*.")) pattern.erase(0, 1);
    while (!pattern.empty() && pattern.back() == '.') pattern.pop_back();
    if (pattern.empty()) continue;
    if (is_ip) {
      if (matches_cidr(ip, pattern)) return true;
      continue;
    }
    if (pattern.front() == '.') pattern.erase(0, 1);
    if (name == pattern) return true;
    if (name.size() > pattern.size() && name.ends_with(pattern) &&
        name[name.size() - pattern.size() - 1] == '.') {
      return true;
    }
  }
  return false;
}

ProxyServer parse_proxy_url(std::string_view text) {
  const auto fail = [&](const std::string& why) -> ProxyServer {
    // The address may carry the proxy's user and password: they are never quoted.
    std::string shown(text);
    const auto scheme_end = shown.find("://");
    const auto start = scheme_end == std::string::npos ? 0 : scheme_end + 3;
    const auto authority_end = std::min(shown.find_first_of("/?#", start), shown.size());
    if (const auto at = shown.rfind('@', authority_end == 0 ? 0 : authority_end - 1);
        at != std::string::npos && at >= start && at < authority_end) {
      shown.replace(start, at - start, "***");
    }
    throw velmora::base::RuntimeError("Invalid proxy address '" + shown + "': " + why);
  };
  std::string_view rest = base::trim(text);
  if (const auto sep = rest.find("://"); sep != std::string_view::npos) {
    const std::string scheme = base::ascii_lower(rest.substr(0, sep));
    if (scheme != "http") return fail("only http:// proxies are supported");
    rest.remove_prefix(sep + 3);
  }
  rest = rest.substr(0, rest.find_first_of("/?#"));
  ProxyServer proxy;
  if (const auto at = rest.rfind('@'); at != std::string_view::npos) {
    const auto userinfo = rest.substr(0, at);
    const auto colon = userinfo.find(':');
    const std::string user = percent_decode(userinfo.substr(0, colon));
    const std::string password = colon == std::string_view::npos
                                     ? std::string()
                                     : percent_decode(userinfo.substr(colon + 1));
    proxy.authorization = "Basic " + base64(user + ":" + password);
    rest.remove_prefix(at + 1);
  }
  std::string_view host;
  std::string_view port;
  if (!split_host_port(rest, host, port) || host.empty()) return fail("no host");
  proxy.host = std::string(host);
  if (port.empty()) {
    proxy.port = 80;
  } else if (auto number = parse_port(port)) {
    proxy.port = *number;
  } else {
    return fail("bad port");
  }
  return proxy;
}

std::optional<ProxyServer> select_proxy(std::string_view scheme, std::string_view host,
                                        std::uint16_t port, const ProxySettings& settings) {
  const std::string& address = scheme == "https" ? settings.https_proxy : settings.http_proxy;
  if (address.empty() || bypasses_proxy(host, port, settings.no_proxy)) return std::nullopt;
  return parse_proxy_url(address);
}

}  // namespace velmora::http
