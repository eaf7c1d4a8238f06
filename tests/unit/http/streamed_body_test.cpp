#include "velmora/http/client.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <random>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "http_test_server.hpp"
#include "test_support.hpp"
#include "velmora/base/errors.hpp"

namespace {

using velmora::http::BodyPart;
using velmora::http::exchange;
using velmora::http::FileRegion;
using velmora::http::Request;
using velmora::http::Response;
using velmora::http::send;
using velmora::http::Stage;
using velmora::http::TransportFailure;
using velmora::testing::HttpReply;
using velmora::testing::HttpTestServer;
using velmora::testing::RecordedRequest;

// Larger than one write chunk, and not a multiple of it, so pieces straddle chunk boundaries.
constexpr std::size_t FILE_BYTES = 700 * 1024 + 3;

std::string random_bytes(std::size_t n) {
  std::mt19937 random(7);
  std::string out(n, '\0');
  for (auto& c : out) c = static_cast<char>(random());
  return out;
}

class StreamedBody : public ::testing::Test {
 protected:
  StreamedBody() : content_(random_bytes(FILE_BYTES)) {
    for (const char* name : {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy",
                             "ALL_PROXY", "no_proxy", "NO_PROXY"}) {
      env_.unset(name);
    }
    velmora::testing::write_file(path_, content_);
    fd_ = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
  }
  ~StreamedBody() override { ::close(fd_); }

  void trust(const std::filesystem::path& file) {
    env_.set("SSL_CERT_FILE", file.string());
    env_.set("SSL_CERT_DIR", dir_.path().string());
  }

  velmora::testing::ScopedEnv env_;
  velmora::testing::TempDir dir_;
  std::filesystem::path path_ = dir_.path() / "data.bin";
  std::string content_;
  int fd_ = -1;
};

std::string failure_text(const Request& request) {
  auto outcome = exchange(request);
  const auto* failure = std::get_if<TransportFailure>(&outcome);
  if (failure == nullptr) return "status " + std::to_string(std::get<Response>(outcome).status);
  try {
    std::rethrow_exception(failure->error);
  } catch (const velmora::base::Error& e) {
    return std::string(failure->stage == Stage::send ? "send " : "other stage ") +
           std::string(e.kind_name()) + ": " + e.what();
  }
}

TEST_F(StreamedBody, PartsArriveInOrderOverEveryRoute) {
  const std::vector<BodyPart> parts = {
      std::string("<a>"),
      FileRegion{.path = path_, .fd = fd_, .offset = 5, .size = FILE_BYTES - 9},
      std::string(),
      FileRegion{.path = path_, .size = FILE_BYTES, .to_end_of_file = true},
      FileRegion{.fd = fd_, .offset = 1, .size = 0},
      std::string("<z>"),
  };
  const std::string expected =
      "head" + std::string("<a>") + content_.substr(5, FILE_BYTES - 9) + content_ + "<z>";

  const auto ok = [](const RecordedRequest&) { return HttpReply{.body = "ok"}; };
  HttpTestServer plain(ok);
  HttpTestServer tls(ok, {.tls_names = {"localhost"}});
  HttpTestServer proxy([](const RecordedRequest& req) {
    return req.method == "CONNECT" ? HttpReply{.tunnel = true} : HttpReply{.body = "ok"};
  });
  trust(tls.certificate_file());
  const std::string via_proxy = "127.0.0.1:" + std::to_string(proxy.port());
  struct Route {
    const char* name;
    std::string url;
    std::string proxy;
    HttpTestServer* receiver;
  };
  const Route routes[] = {
      {"plain", plain.url() + "/up", "", &plain},
      {"tls", "https://localhost:" + std::to_string(tls.port()) + "/up", "", &tls},
      {"plain via proxy", "http://files.example/up", via_proxy, &proxy},
      {"tls through a tunnel", "https://localhost:" + std::to_string(tls.port()) + "/up", via_proxy,
       &tls},
  };
  for (const auto& route : routes) {
    env_.set("http_proxy", route.proxy);
    env_.set("https_proxy", route.proxy);
    const auto res = send({.method = "PUT", .url = route.url, .body = "head", .body_parts = parts});
    EXPECT_EQ(res.body, "ok") << route.name;
    const auto req = route.receiver->requests().back();
    EXPECT_EQ(req.header("Content-Length"), std::to_string(expected.size())) << route.name;
    EXPECT_TRUE(req.body == expected) << route.name << ": " << req.body.size() << " bytes";
  }
  // The caller's descriptor is read in place: its position is where it was.
  EXPECT_EQ(::lseek(fd_, 0, SEEK_CUR), 0);
}

TEST_F(StreamedBody, AFileThatDoesNotMatchItsRegionFailsTheSendWithoutAWholeRequest) {
  HttpTestServer server([](const RecordedRequest&) { return HttpReply{.body = "ok"}; });
  const std::string name = path_.string();
  const std::string size = std::to_string(FILE_BYTES);
  struct Case {
    FileRegion region;
    std::string outcome;
  };
  const Case cases[] = {
      // Shorter than announced: found mid-stream, after whole chunks went out.
      {{.path = path_, .fd = fd_, .size = FILE_BYTES + 1},
       "send OSError: " + name + " changed while it was being sent (size now " + size +
           " bytes, expected " + std::to_string(FILE_BYTES + 1) + ")"},
      {{.path = path_, .fd = fd_, .offset = 2, .size = FILE_BYTES - 1},
       "send OSError: " + name + " changed while it was being sent (size now " + size +
           " bytes, expected " + std::to_string(FILE_BYTES + 1) + ")"},
      // Longer than announced where the region must end the file.
      {{.path = path_, .fd = fd_, .size = FILE_BYTES - 1, .to_end_of_file = true},
       "send OSError: " + name + " changed while it was being sent (size now " + size +
           " bytes, expected " + std::to_string(FILE_BYTES - 1) + ")"},
      {{.fd = fd_, .size = 0, .to_end_of_file = true},
       "send OSError: file changed while it was being sent (size now " + size +
           " bytes, expected 0)"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(failure_text({.method = "POST", .url = server.url(), .body_parts = {c.region}}),
              c.outcome);
  }
  EXPECT_EQ(server.request_count(), 0U);

  // A leading stretch of a file is fine when the region need not end it.
  EXPECT_EQ(failure_text({.method = "POST",
                          .url = server.url(),
                          .body_parts = {FileRegion{.fd = fd_, .size = 10}}}),
            "status 200");
  EXPECT_EQ(server.requests().at(0).body, content_.substr(0, 10));
}

TEST_F(StreamedBody, AFileThatCannotBeOpenedIsTheCallersErrorBeforeConnecting) {
  HttpTestServer server([](const RecordedRequest&) { return HttpReply{.body = "ok"}; });
  const auto missing = dir_.path() / "missing.bin";
  try {
    (void)exchange({.method = "POST",
                    .url = server.url(),
                    .body_parts = {FileRegion{.path = missing, .size = 1}}});
    ADD_FAILURE() << "no error";
  } catch (const velmora::base::OSError& e) {
    EXPECT_EQ(std::string(e.what()), "No such file or directory: '" + missing.string() + "'");
  }
  EXPECT_EQ(server.request_count(), 0U);
}

}  // namespace
