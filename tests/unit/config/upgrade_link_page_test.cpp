#include "velmora/self_upgrade.hpp"

#include <sys/stat.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "http_test_server.hpp"
#include "test_support.hpp"
#include "velmora/base/errors.hpp"

namespace {

using ::testing::HasSubstr;
using velmora::testing::HttpReply;
using velmora::testing::HttpTestServer;
using velmora::testing::RecordedRequest;
using velmora::testing::TempDir;

// pip treats a link page it cannot fetch as an empty page and ends with status 0, so these
// failures must be caught before it runs.
TEST(CheckLinkPage, UnreachableOrFailingPagesStopTheUpgrade) {
  HttpTestServer server([](const RecordedRequest& request) {
    if (request.target == "/missing") return HttpReply{.status = 404};
    if (request.target == "/broken") return HttpReply{.status = 503};
    if (request.target == "/moved") {
      return HttpReply{.status = 301, .headers = {{"Location", "/wheels/"}}};
    }
    return HttpReply{.body = "<a href=\"velmora_cli-1.0-py3-none-any.whl\">w</a>"};
  });
  TempDir folder;
  std::string closed_url;
  {
    HttpTestServer gone([](const RecordedRequest&) { return HttpReply{}; });
    closed_url = gone.url();
  }
  struct Case {
    std::string url;
    std::string error;  ///< empty: the page is fine
  } cases[] = {
      {server.url() + "/wheels", ""},
      {server.url() + "/moved", ""},
      {folder.path().string(), ""},
      {"file://" + folder.path().string(), ""},
      {server.url() + "/missing", "The wheel server at " + server.url() + "/missing answered 404"},
      {server.url() + "/broken", "answered 503"},
      {closed_url, "Cannot reach the wheel server at " + closed_url + ": "},
      {(folder.path() / "absent").string(),
       "The wheel server folder " + (folder.path() / "absent").string() + " does not exist."},
      {"file:///no/such/velmora/wheels", "does not exist."},
  };
  for (const auto& c : cases) {
    if (c.error.empty()) {
      EXPECT_NO_THROW(velmora::check_link_page(c.url)) << c.url;
      continue;
    }
    try {
      velmora::check_link_page(c.url);
      ADD_FAILURE() << c.url << " passed";
    } catch (const velmora::base::RuntimeError& e) {
      EXPECT_THAT(e.what(), HasSubstr(c.error)) << c.url;
    }
  }
}

TEST(CheckLinkPage, TheInstallerNeverRunsWhenThePageFails) {
  TempDir bin;
  velmora::testing::ScopedEnv env;
  env.set("PATH", bin.path().string() + ":/usr/bin:/bin");
  velmora::testing::write_file(bin.path() / "python3",
                               "#!/bin/sh\ntouch '" + (bin.path() / "ran").string() + "'\n");
  ::chmod((bin.path() / "python3").c_str(), 0755);
  auto sink = std::make_shared<velmora::term::StringSink>();
  velmora::term::Console console{velmora::term::ConsoleOptions{.no_color = true}, sink};

  EXPECT_THROW(velmora::self_upgrade((bin.path() / "absent").string(), console),
               velmora::base::RuntimeError);
  EXPECT_FALSE(std::filesystem::exists(bin.path() / "ran"));
  EXPECT_THAT(sink->text(), ::testing::Not(HasSubstr("Upgrade complete.")));
}

}  // namespace
