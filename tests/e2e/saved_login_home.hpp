// A home folder with a saved login against the simulator, and how to run velmora in it: the
// fixture of the end-to-end tests of the saved login.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include <boost/json/object.hpp>
#include <boost/json/serialize.hpp>

#include "sim_process.hpp"
#include "test_support.hpp"
#include "test_tokens.hpp"

namespace session_e2e {

struct SavedLoginHome : ::testing::Test {
  velmora::testing::TempDir home;
  std::filesystem::path credentials = home.path() / "config" / "velmora" / "credentials.json";

  void save_login(const velmora::testing::SimProcess& sim, std::string_view access,
                  std::string_view refresh, double expires_at) {
    const boost::json::object login{{"access_token", access},
                                    {"refresh_token", refresh},
                                    {"token_type", "Bearer"},
                                    {"expires_at", expires_at},
                                    {"oauth_base_url", sim.http_url()},
                                    {"client_id", "velmora-cli"}};
    velmora::testing::write_file(credentials, boost::json::serialize(login));
  }

  /// A clean environment in the home folder: the simulator's endpoints, no token given, a
  /// `bin` folder first on PATH for stand-in programs.
  [[nodiscard]] velmora::testing::ProcessOptions options(const velmora::testing::SimProcess& sim,
                                                         std::vector<std::string> args) const {
    const char* path = std::getenv("PATH");
    velmora::testing::ProcessOptions o;
    o.args = std::move(args);
    o.clean_env = true;
    o.cwd = home.path();
    o.env = {{"HOME", home.path().string()},
             {"PATH", (home.path() / "bin").string() + ":" + (path ? path : "/usr/bin:/bin")},
             {"XDG_CONFIG_HOME", (home.path() / "config").string()},
             {"XDG_STATE_HOME", (home.path() / "state").string()},
             {"VELMORA_OAUTH_BASE_URL", sim.http_url()},
             {"QUILLON_URL", sim.ws_url()},
             {"TERM", "dumb"}};
    o.timeout_seconds = 120;
    return o;
  }
};

/// How many refresh-token grants the simulator's credentials service answered.
inline std::size_t refreshes(const velmora::testing::SimProcess& sim) {
  std::size_t n = 0;
  for (const auto& record : sim.records("credentials")) {
    const auto* form = record.if_contains("form");
    if (form && form->is_object() && form->as_object().if_contains("grant_type") &&
        form->as_object().at("grant_type") == "refresh_token") {
      ++n;
    }
  }
  return n;
}

}  // namespace session_e2e
