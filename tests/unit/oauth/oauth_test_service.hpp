// A scripted credentials service on loopback for the credentials tests.
#pragma once

#include <deque>
#include <mutex>
#include <string>

#include "http_test_server.hpp"
#include "test_support.hpp"
#include "velmora/oauth/device_flow.hpp"

namespace velmora::testing {

/// Proxy settings of the machine, and its config folder, stay out of the tests.
class OauthEnv {
 public:
  OauthEnv() {
    for (const char* name :
         {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY",
          "no_proxy", "NO_PROXY", "VELMORA_OAUTH_BASE_URL", "VELMORA_OAUTH_CLIENT_ID"}) {
      env.unset(name);
    }
    env.set("XDG_CONFIG_HOME", config.path().string());
  }
  [[nodiscard]] std::filesystem::path credentials_file() const {
    return config.path() / "velmora" / "credentials.json";
  }
  ScopedEnv env;
  TempDir config;
};

/// Clock and sleep that only move when the flow sleeps; the browser is recorded.
struct FakeHooks {
  double now = 1000;
  std::vector<double> sleeps;
  std::vector<std::string> opened;

  velmora::oauth::FlowHooks hooks() {
    return {.now = [this] { return now; },
            .sleep =
                [this](double seconds) {
                  sleeps.push_back(seconds);
                  now += seconds;
                },
            .open_browser =
                [this](const std::string& url) {
                  opened.push_back(url);
                  return false;
                }};
  }
};

/// Field of a form body ("a=1&b=2"), undecoded; "" when absent.
inline std::string form_field(const std::string& body, const std::string& name) {
  std::size_t start = 0;
  while (start <= body.size()) {
    const auto end = std::min(body.find('&', start), body.size());
    const auto pair = body.substr(start, end - start);
    if (pair.starts_with(name + "=")) return pair.substr(name.size() + 1);
    start = end + 1;
  }
  return "";
}

}  // namespace velmora::testing
