#include "velmora/http/client.hpp"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "http_test_server.hpp"
#include "test_support.hpp"
#include "velmora/base/errors.hpp"

namespace {

using ::testing::ElementsAre;
using ::testing::StartsWith;
using velmora::http::exchange;
using velmora::http::Request;
using velmora::http::Response;
using velmora::http::send;
using velmora::http::Stage;
using velmora::http::TransportFailure;
using velmora::testing::HttpReply;
using velmora::testing::HttpTestServer;
using velmora::testing::RecordedRequest;

// Proxy settings of the machine running the tests must not reroute loopback requests.
class HttpClient : public ::testing::Test {
 protected:
  HttpClient() {
    for (const char* name : {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy",
                             "ALL_PROXY", "no_proxy", "NO_PROXY"}) {
      env_.unset(name);
    }
  }
  velmora::testing::ScopedEnv env_;
};

struct FailureView {
  Stage stage;
  std::string kind;
  std::string message;
};

FailureView failure_of(const Request& request) {
  auto outcome = exchange(request);
  const auto* failure = std::get_if<TransportFailure>(&outcome);
  if (failure == nullptr) {
    ADD_FAILURE() << "expected a transport failure, got status "
                  << std::get<Response>(outcome).status;
    return {};
  }
  try {
    std::rethrow_exception(failure->error);
  } catch (const velmora::base::Error& e) {
    return {failure->stage, std::string(e.kind_name()), e.what()};
  }
}

// A port on which nothing listens.
std::uint16_t closed_port() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  socklen_t len = sizeof addr;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  ::close(fd);
  return ntohs(addr.sin_port);
}

TEST_F(HttpClient, SendsMethodTargetHeadersInOrderAndBody) {
  HttpTestServer server([](const RecordedRequest&) {
    return HttpReply{.status = 201, .headers = {{"X-Answer", "yes"}}, .body = "created"};
  });
  const Response res = send({.method = "POST",
                             .url = server.url() + "/api/v2/upload?x=1&y=a%20b#frag",
                             .headers = {{"Content-Type", "text/plain"}, {"x-user-id", "u1"}},
                             .body = "hello"});
  EXPECT_EQ(res.status, 201);
  EXPECT_TRUE(res.is_success());
  EXPECT_EQ(res.body, "created");
  EXPECT_EQ(res.header("x-answer"), "yes");

  const auto req = server.requests().at(0);
  EXPECT_EQ(req.method, "POST");
  EXPECT_EQ(req.target, "/api/v2/upload?x=1&y=a%20b");
  EXPECT_THAT(req.header_names(), ElementsAre("Host", "Content-Type", "x-user-id", "User-Agent",
                                              "Connection", "Content-Length"));
  EXPECT_EQ(req.header("Host"), "127.0.0.1:" + std::to_string(server.port()));
  EXPECT_EQ(req.header("Content-Length"), "5");
  EXPECT_EQ(req.body, "hello");
}

TEST_F(HttpClient, ErrorStatusIsAValueWithItsBody) {
  HttpTestServer server(
      [](const RecordedRequest&) { return HttpReply{.status = 413, .body = "too big"}; });
  const Response res = send({.url = server.url()});
  EXPECT_EQ(res.status, 413);
  EXPECT_FALSE(res.is_success());
  EXPECT_EQ(res.body, "too big");
  EXPECT_EQ(server.requests().at(0).target, "/");
  EXPECT_FALSE(server.requests().at(0).header("Content-Length"));
}

TEST_F(HttpClient, ReadsCloseDelimitedChunkedAndInterimAnswers) {
  const std::pair<std::string, std::string> cases[] = {
      {"HTTP/1.1 200 OK\r\n\r\nuntil close", "until close"},
      {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n2\r\nde\r\n0\r\n\r\n",
       "abcde"},
      {"HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok", "ok"},
  };
  for (const auto& [raw, body] : cases) {
    HttpTestServer server([raw = raw](const RecordedRequest&) { return HttpReply{.raw = raw}; });
    EXPECT_EQ(send({.url = server.url()}).body, body) << raw;
  }
}

TEST_F(HttpClient, TransportFailuresCarryStageKindAndSystemText) {
  struct Case {
    HttpReply reply;
    Stage stage;
    std::string kind;
    std::string message;
  };
  const Case cases[] = {
      {HttpReply{.drop = true}, Stage::receive, "OSError",
       "Remote end closed connection without response"},
      {HttpReply{.raw = std::string("HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nabc")},
       Stage::receive, "OSError", "Connection closed before the whole response arrived"},
      {HttpReply{.raw = std::string("SMTP ready\r\n\r\n")}, Stage::receive, "OSError",
       "Invalid HTTP response: bad version"},
      {HttpReply{.delay_seconds = 30}, Stage::receive, "TimeoutError", "timed out"},
  };
  for (const auto& c : cases) {
    HttpTestServer server([reply = c.reply](const RecordedRequest&) { return reply; });
    const auto failure = failure_of({.url = server.url(), .timeout_seconds = 0.5});
    EXPECT_EQ(failure.stage, c.stage) << c.message;
    EXPECT_EQ(failure.kind, c.kind) << c.message;
    EXPECT_EQ(failure.message, c.message);
  }

  const auto refused =
      failure_of({.url = "http://127.0.0.1:" + std::to_string(closed_port()) + "/"});
  EXPECT_EQ(refused.stage, Stage::connect);
  EXPECT_EQ(refused.kind, "OSError");
  EXPECT_EQ(refused.message, "Connection refused");

  const auto unresolved = failure_of({.url = "http://no-such-host.invalid/"});
  EXPECT_EQ(unresolved.stage, Stage::connect);
  EXPECT_EQ(unresolved.kind, "OSError");
  EXPECT_FALSE(unresolved.message.empty());  // the resolver's own text

  EXPECT_THROW(send({.url = "http://127.0.0.1:" + std::to_string(closed_port())}),
               velmora::base::OSError);
}

TEST_F(HttpClient, ConnectTimeLimitApplies) {
  // A listener whose accept queue is full drops further SYNs, so a connect hangs.
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(::listen(fd, 0), 0);
  socklen_t len = sizeof addr;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  std::vector<int> fillers;
  for (int i = 0; i < 4; ++i) {
    const int c = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    ::connect(c, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    fillers.push_back(c);
  }
  const auto failure = failure_of(
      {.url = "http://127.0.0.1:" + std::to_string(ntohs(addr.sin_port)), .timeout_seconds = 0.5});
  EXPECT_EQ(failure.kind, "TimeoutError");
  EXPECT_EQ(failure.stage, Stage::connect);
  for (int c : fillers) ::close(c);
  ::close(fd);
}

TEST_F(HttpClient, RejectsBadUrlsAndHeaderInjectionBeforeSending) {
  HttpTestServer server([](const RecordedRequest&) { return HttpReply{}; });
  const std::pair<std::string, std::string> bad_urls[] = {
      {"not a url", "expected an http:// or https:// address"},
      {"files.example/x", "expected an http:// or https:// address"},
      {"http://a b/", "malformed address"},
      {"ftp://127.0.0.1/x", "only http and https are supported"},
      {"http:///path", "no host"},
  };
  for (const auto& [url, why] : bad_urls) {
    try {
      send({.url = url});
      ADD_FAILURE() << "no error for " << url;
    } catch (const velmora::base::RuntimeError& e) {
      EXPECT_EQ(std::string(e.what()), "Invalid URL '" + url + "': " + why);
    }
  }
  EXPECT_THROW(send({.url = server.url(), .headers = {{"x-user-id", "u1\r\nX-Evil: 1"}}}),
               velmora::base::RuntimeError);
  EXPECT_THROW(send({.url = server.url(), .headers = {{"Bad Name", "v"}}}),
               velmora::base::RuntimeError);
  EXPECT_EQ(server.request_count(), 0U);
}

class HttpsClient : public HttpClient {
 protected:
  void trust(const std::filesystem::path& file) {
    env_.set("SSL_CERT_FILE", file.string());
    env_.set("SSL_CERT_DIR", empty_.path().string());
  }
  velmora::testing::TempDir empty_;
};

TEST_F(HttpsClient, VerifiesCertificateAgainstTrustStoreAndHostName) {
  HttpTestServer server([](const RecordedRequest&) { return HttpReply{.body = "secret"}; },
                        {.tls_names = {"localhost", "127.0.0.1"}});
  trust(server.certificate_file());
  const auto port = std::to_string(server.port());
  EXPECT_EQ(send({.url = "https://localhost:" + port + "/a"}).body, "secret");
  EXPECT_EQ(send({.url = "https://127.0.0.1:" + port + "/b"}).body, "secret");
  EXPECT_EQ(server.requests().at(0).header("Host"), "localhost:" + port);

  HttpTestServer other([](const RecordedRequest&) { return HttpReply{.body = "secret"}; },
                       {.tls_names = {"other.example"}});
  trust(other.certificate_file());
  const auto mismatch = failure_of({.url = "https://localhost:" + std::to_string(other.port())});
  EXPECT_EQ(mismatch.stage, Stage::connect);
  EXPECT_EQ(mismatch.message, "certificate verify failed: hostname mismatch");
  const auto ip_mismatch = failure_of({.url = "https://127.0.0.1:" + std::to_string(other.port())});
  EXPECT_EQ(ip_mismatch.message, "certificate verify failed: IP address mismatch");

  trust(empty_.path() / "none.pem");
  const auto untrusted = failure_of({.url = "https://localhost:" + port});
  EXPECT_EQ(untrusted.stage, Stage::connect);
  EXPECT_EQ(untrusted.kind, "OSError");
  EXPECT_THAT(untrusted.message, StartsWith("certificate verify failed: self"));
  EXPECT_EQ(server.request_count(), 2U);
}

TEST_F(HttpClient, PlainHttpGoesToTheProxyInAbsoluteForm) {
  HttpTestServer proxy([](const RecordedRequest&) { return HttpReply{.body = "via proxy"}; });
  env_.set("http_proxy", "http://user:pw@127.0.0.1:" + std::to_string(proxy.port()));
  EXPECT_EQ(send({.url = "http://files.example:8080/up?x=1"}).body, "via proxy");
  const auto req = proxy.requests().at(0);
  EXPECT_EQ(req.target, "http://files.example:8080/up?x=1");
  EXPECT_EQ(req.header("Host"), "files.example:8080");
  EXPECT_EQ(req.header("Proxy-Authorization"), "Basic dXNlcjpwdw==");

  env_.set("no_proxy", "files.example");
  const auto direct = failure_of({.url = "http://files.example:8080/"});
  EXPECT_EQ(direct.stage, Stage::connect);
  EXPECT_EQ(proxy.request_count(), 1U);
}

TEST_F(HttpsClient, HttpsTunnelsThroughConnectAndReportsRefusal) {
  HttpTestServer target([](const RecordedRequest&) { return HttpReply{.body = "tunnelled"}; },
                        {.tls_names = {"localhost"}});
  trust(target.certificate_file());
  HttpTestServer proxy([](const RecordedRequest&) { return HttpReply{.tunnel = true}; });
  env_.set("HTTPS_PROXY", "127.0.0.1:" + std::to_string(proxy.port()));
  const std::string url = "https://localhost:" + std::to_string(target.port()) + "/p";
  EXPECT_EQ(send({.url = url}).body, "tunnelled");
  EXPECT_EQ(proxy.requests().at(0).method, "CONNECT");
  EXPECT_EQ(proxy.requests().at(0).target, "localhost:" + std::to_string(target.port()));
  EXPECT_EQ(target.requests().at(0).target, "/p");

  proxy.set_handler([](const RecordedRequest&) { return HttpReply{.status = 407, .body = "no"}; });
  const auto refused = failure_of({.url = url});
  EXPECT_EQ(refused.stage, Stage::connect);
  EXPECT_EQ(refused.message, "Tunnel connection failed: 407 Proxy Authentication Required");
}

}  // namespace
