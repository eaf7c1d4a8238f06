#include "parcelon/upload.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <random>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>

#include "http_test_server.hpp"
#include "parcelon/multipart.hpp"
#include "test_support.hpp"
#include "velmora/base/errors.hpp"
#include "velmora/base/json_text.hpp"

namespace {

using parcelon::AttachmentRecord;
using parcelon::LocalAttachment;
using parcelon::upload_attachment_sync;
using ::testing::ElementsAre;
using ::testing::StartsWith;
using velmora::testing::HttpReply;
using velmora::testing::HttpTestServer;
using velmora::testing::json_reply;
using velmora::testing::RecordedRequest;
using velmora::testing::write_file;

class Upload : public ::testing::Test {
 protected:
  Upload() {
    for (const char* name : {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy",
                             "ALL_PROXY", "no_proxy", "NO_PROXY"}) {
      env_.unset(name);
    }
    env_.set("HOME", home_.path().string());
  }
  std::string file(const std::string& name, const std::string& content) {
    write_file(dir_.path() / name, content);
    return (dir_.path() / name).string();
  }
  velmora::testing::ScopedEnv env_;
  velmora::testing::TempDir home_;
  velmora::testing::TempDir dir_;
};

std::string boundary_of(const RecordedRequest& req) {
  const auto type = req.header("Content-Type").value_or("");
  const std::string prefix = "multipart/form-data; boundary=";
  return type.starts_with(prefix) ? type.substr(prefix.size()) : "";
}

HttpTestServer stored_as(std::string relative_path) {
  return HttpTestServer([relative_path](const RecordedRequest&) {
    return json_reply(200, R"({"relative_path": ")" + relative_path + "\"}");
  });
}

std::string error_of(const std::function<void()>& call) {
  try {
    call();
  } catch (const std::exception& e) {
    return velmora::base::error_kind_name(e) + ": " + e.what();
  }
  return "no error";
}

TEST_F(Upload, PostsTheMultipartFormWithHeadersInOrderAndReturnsTheRecord) {
  auto server = stored_as("uploads/t-1/report.pdf");
  const std::string bytes("%PDF-\x00\xff\r\n", 9);
  const auto path = file("report.pdf", bytes);
  const AttachmentRecord record =
      upload_attachment_sync(server.url() + "///", "user-7", "t-1",
                             {.path = path, .description = "Q3 numbers"}, {.token = "tok-1"});
  EXPECT_EQ(velmora::base::json_dumps(record),
            R"({"file_path": "uploads/t-1/report.pdf", "type": "application/pdf", )"
            R"("description": "Q3 numbers"})");

  const auto req = server.requests().at(0);
  EXPECT_EQ(req.method, "POST");
  EXPECT_EQ(req.target, "/api/v2/upload_attachment");
  EXPECT_THAT(req.header_names(),
              ElementsAre("Host", "Content-Type", "Velmora-Authorization", "x-user-token",
                          "x-user-id", "User-Agent", "Connection", "Content-Length"));
  EXPECT_EQ(req.header("Velmora-Authorization"), "tok-1");
  EXPECT_EQ(req.header("x-user-token"), "tok-1");
  EXPECT_EQ(req.header("x-user-id"), "user-7");
  const auto boundary = boundary_of(req);
  EXPECT_THAT(boundary, StartsWith("----quillon-upload-"));
  EXPECT_EQ(req.body, parcelon::build_multipart_body(boundary, {.file_name = "report.pdf",
                                                                .content_type = "application/pdf",
                                                                .file_bytes = bytes,
                                                                .thread_id = "t-1",
                                                                .user_id = "user-7"}));
  EXPECT_EQ(req.body.find("tok-1"), std::string::npos);
}

TEST_F(Upload, OptionalHeadersTypesAndFileNames) {
  auto server = stored_as("p");
  // No token and no user id: no token headers, no x-user-id, but the user_id field is sent.
  upload_attachment_sync(server.url(), "", "t", {.path = file("a.txt", "x")},
                         {.token = std::string()});
  auto req = server.requests().back();
  EXPECT_THAT(req.header_names(),
              ElementsAre("Host", "Content-Type", "User-Agent", "Connection", "Content-Length"));
  EXPECT_NE(req.body.find("name=\"user_id\"\r\n\r\n\r\n"), std::string::npos);

  // Unknown extension: "file"; an explicit type is used as given.
  auto record =
      upload_attachment_sync(server.url(), "u", "t", {.path = file("report.unknownext", "x")});
  EXPECT_EQ(record.at("type"), "file");
  EXPECT_NE(server.requests().back().body.find("\r\nContent-Type: file\r\n"), std::string::npos);
  record = upload_attachment_sync(server.url(), "u", "t",
                                  {.path = file("n.txt", "x"), .type = "text/markdown"});
  EXPECT_EQ(record.at("type"), "text/markdown");

  // "~" is the home folder; a link is sent under its target's name.
  write_file(home_.path() / "h.txt", "home");
  upload_attachment_sync(server.url(), "u", "t", {.path = "~/h.txt"});
  EXPECT_NE(server.requests().back().body.find("filename=\"h.txt\"\r\n"), std::string::npos);
  std::filesystem::create_symlink(file("target.md", "t"), dir_.path() / "link.txt");
  record =
      upload_attachment_sync(server.url(), "u", "t", {.path = (dir_.path() / "link.txt").string()});
  EXPECT_NE(server.requests().back().body.find("filename=\"target.md\""), std::string::npos);
  EXPECT_EQ(record.at("type"), "text/markdown");

  // A quote or line break in the name cannot break out of the part header.
  upload_attachment_sync(server.url(), "u", "t", {.path = file("we\"ird\r\nX: 1.txt", "x")});
  EXPECT_NE(server.requests().back().body.find("filename=\"we%22ird%0D%0AX: 1.txt\"\r\n"),
            std::string::npos);
}

TEST_F(Upload, MissingFilesAreReportedAsGivenWithoutARequest) {
  auto server = stored_as("p");
  const std::string cases[] = {"~/x.pdf", (dir_.path() / "nope.txt").string(), ""};
  for (const auto& path : cases) {
    EXPECT_EQ(error_of([&] { upload_attachment_sync(server.url(), "u", "t", {.path = path}); }),
              "FileNotFoundError: Attachment not found: " + path);
  }
  // A folder or a device exists: it is named for what it is not.
  for (const std::string& path : {dir_.path().string(), std::string("/dev/null")}) {
    EXPECT_EQ(error_of([&] { upload_attachment_sync(server.url(), "u", "t", {.path = path}); }),
              "FileNotFoundError: Attachment is not a regular file: " + path);
  }
  EXPECT_EQ(server.request_count(), 0U);
}

TEST_F(Upload, EveryFailureHasItsMessage) {
  const auto path = file("a.txt", "x");
  struct Case {
    HttpReply reply;
    std::string error;
  };
  const Case cases[] = {
      {HttpReply{.status = 413, .body = "too big"}, "RuntimeError: Upload failed (413): too big"},
      {HttpReply{.status = 500, .body = "bad \xff byte"},
       "RuntimeError: Upload failed (500): bad \xef\xbf\xbd byte"},
      {HttpReply{.status = 302, .body = ""}, "RuntimeError: Upload failed (302): "},
      {HttpReply{.body = "<html>oops</html>"},
       "RuntimeError: Upload returned non-JSON response: <html>oops</html>"},
      {json_reply(200, R"({"relative_path": ""})"),
       R"(RuntimeError: Upload response missing relative_path: {"relative_path": ""})"},
      {json_reply(200, R"({"path": "x", "relative_path": null})"),
       R"(RuntimeError: Upload response missing relative_path: {"path": "x", "relative_path": null})"},
      {json_reply(200, R"(["relative_path"])"),
       R"(RuntimeError: Upload response missing relative_path: ["relative_path"])"},
      {HttpReply{.body = "{\"relative_path\": \"\xff\"}"},
       "RuntimeError: Upload response is not valid UTF-8 (invalid byte at offset 19)"},
      {HttpReply{.delay_seconds = 30}, "TimeoutError: timed out"},
      {HttpReply{.drop = true}, "OSError: Remote end closed connection without response"},
  };
  for (const auto& c : cases) {
    HttpTestServer server([reply = c.reply](const RecordedRequest&) { return reply; });
    EXPECT_EQ(error_of([&] {
                upload_attachment_sync(server.url(), "u", "t", {.path = path},
                                       {.timeout_seconds = 0.5});
              }),
              c.error);
  }

  std::string gone_url;
  {
    auto gone = stored_as("p");
    gone_url = gone.url();
  }
  EXPECT_EQ(error_of([&] { upload_attachment_sync(gone_url, "u", "t", {.path = path}); }),
            "RuntimeError: Upload failed: Connection refused");

  // Truthy values that are not text are written as JSON.
  HttpTestServer numeric(
      [](const RecordedRequest&) { return json_reply(200, R"({"relative_path": 7})"); });
  EXPECT_EQ(upload_attachment_sync(numeric.url(), "u", "t", {.path = path}).at("file_path"), "7");
}

TEST_F(Upload, DebugLineGoesToTheSinkOrStandardOutputOnSuccessAndParseFailure) {
  const auto path = file("a.txt", "x");
  std::vector<std::string> lines;
  const parcelon::UploadOptions debug{
      .debug = true, .debug_sink = [&](const std::string& line) { lines.push_back(line); }};
  auto ok = stored_as("p");
  upload_attachment_sync(ok.url(), "u", "t", {.path = path}, debug);
  HttpTestServer not_json([](const RecordedRequest&) { return HttpReply{.body = "[x"}; });
  EXPECT_THROW(upload_attachment_sync(not_json.url(), "u", "t", {.path = path}, debug),
               velmora::base::RuntimeError);
  HttpTestServer refused([](const RecordedRequest&) { return HttpReply{.status = 413}; });
  EXPECT_THROW(upload_attachment_sync(refused.url(), "u", "t", {.path = path}, debug),
               velmora::base::RuntimeError);
  EXPECT_THAT(lines, ElementsAre(R"([DEBUG][FILE_API][RESPONSE] {"relative_path": "p"})",
                                 "[DEBUG][FILE_API][RESPONSE] [x"));

  ::testing::internal::CaptureStdout();
  upload_attachment_sync(ok.url(), "u", "t", {.path = path}, {.debug = true});
  upload_attachment_sync(ok.url(), "u", "t", {.path = path});
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            "[DEBUG][FILE_API][RESPONSE] {\"relative_path\": \"p\"}\n");
}

struct AsyncResult {
  std::vector<AttachmentRecord> records;
  std::string error;
};

AsyncResult run_uploads(std::string base, std::vector<LocalAttachment> attachments,
                        parcelon::UploadOptions options = {}) {
  boost::asio::io_context io;
  AsyncResult result;
  boost::asio::co_spawn(io,
                        parcelon::upload_attachments(std::move(base), "u", "t",
                                                     std::move(attachments), std::move(options)),
                        [&](std::exception_ptr e, std::vector<AttachmentRecord> records) {
                          result.records = std::move(records);
                          if (e) result.error = error_of([&] { std::rethrow_exception(e); });
                        });
  io.run();
  return result;
}

TEST_F(Upload, AsyncUploadsRunInOrderAndStopAtTheFirstFailure) {
  HttpTestServer server([](const RecordedRequest& req) {
    const auto start = req.body.find("filename=\"") + 10;
    return json_reply(200, R"({"relative_path": "up/)" +
                               req.body.substr(start, req.body.find('"', start) - start) + "\"}");
  });
  const auto loop_thread = std::this_thread::get_id();
  std::vector<std::thread::id> sink_threads;
  const auto ok =
      run_uploads(server.url(),
                  {{.path = file("1.txt", "a")}, {.path = file("2.png", "b"), .description = "d"}},
                  {.debug = true, .debug_sink = [&](const std::string&) {
                     sink_threads.push_back(std::this_thread::get_id());
                   }});
  EXPECT_EQ(ok.error, "");
  ASSERT_EQ(ok.records.size(), 2U);
  EXPECT_EQ(velmora::base::json_dumps(ok.records[1]),
            R"({"file_path": "up/2.png", "type": "image/png", "description": "d"})");
  EXPECT_THAT(sink_threads, ElementsAre(loop_thread, loop_thread));

  const auto before = server.request_count();
  const auto failed = run_uploads(
      server.url(),
      {{.path = file("3.txt", "a")}, {.path = "missing.txt"}, {.path = file("4.txt", "b")}});
  EXPECT_EQ(failed.error, "FileNotFoundError: Attachment not found: missing.txt");
  EXPECT_TRUE(failed.records.empty());
  EXPECT_EQ(server.request_count(), before + 1);

  EXPECT_TRUE(run_uploads(server.url(), {}).records.empty());
  EXPECT_EQ(server.request_count(), before + 1);
}

TEST_F(Upload, ALargeFileIsStreamedAsTheSameBytesAsTheInMemoryBody) {
  auto server = stored_as("p");
  std::mt19937 random(11);
  std::string bytes(1024 * 1024 + 17, '\0');  // several write chunks, the last one partial
  for (auto& c : bytes) c = static_cast<char>(random());
  const auto path = file("big.bin", bytes);
  const auto record = upload_attachment_sync(server.url(), "u-1", "t-1", {.path = path});
  const auto req = server.requests().at(0);
  const std::string expected = parcelon::build_multipart_body(
      boundary_of(req), {.file_name = "big.bin",
                         .content_type = std::string(record.at("type").as_string()),
                         .file_bytes = bytes,
                         .thread_id = "t-1",
                         .user_id = "u-1"});
  EXPECT_EQ(req.header("Content-Length"), std::to_string(expected.size()));
  EXPECT_TRUE(req.body == expected) << req.body.size() << " bytes received";
}

// A File API that reads only when told, so an upload can be caught in the middle of its body.
class StalledReceiver {
 public:
  StalledReceiver() : listener_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&addr), len) != 0 ||
        ::listen(listener_, 1) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
      throw std::runtime_error("cannot listen");
    }
    url_ = "http://127.0.0.1:" + std::to_string(ntohs(addr.sin_port));
  }
  ~StalledReceiver() {
    if (connection_ >= 0) ::close(connection_);
    ::close(listener_);
  }
  StalledReceiver(const StalledReceiver&) = delete;
  StalledReceiver& operator=(const StalledReceiver&) = delete;

  [[nodiscard]] const std::string& url() const { return url_; }

  /// Accepts the upload and reads at least `n` bytes of it.
  void read_some(std::size_t n) {
    if (connection_ < 0) connection_ = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    while (received_.size() < n && read_once()) {
    }
  }
  /// Answers with `raw` and closes, leaving the rest of the request unread.
  void answer_and_close(const std::string& raw) {
    EXPECT_EQ(::write(connection_, raw.data(), raw.size()), static_cast<ssize_t>(raw.size()));
    ::close(connection_);
    connection_ = -1;
  }
  /// Everything the client sends until it closes the connection.
  const std::string& read_to_end() {
    while (read_once()) {
    }
    return received_;
  }

 private:
  bool read_once() {
    char buffer[65536];
    const ssize_t n = ::read(connection_, buffer, sizeof buffer);
    if (n <= 0) return false;
    received_.append(buffer, static_cast<std::size_t>(n));
    return true;
  }

  int listener_;
  int connection_ = -1;
  std::string url_;
  std::string received_;
};

TEST_F(Upload, AFileThatChangesWhileItIsSentFailsTheUploadBeforeTheBodyIsComplete) {
  constexpr std::size_t SIZE = 32 * 1024 * 1024;  // far more than the socket buffers hold
  struct Case {
    const char* name;
    std::function<void(const std::string& path)> change;
    std::size_t size_after;
  };
  const Case cases[] = {
      {"truncated", [](const std::string& path) { ::truncate(path.c_str(), 1024 * 1024); },
       1024 * 1024},
      {"appended to",
       [](const std::string& path) {
         std::ofstream(path, std::ios::binary | std::ios::app) << 'x';
       },
       SIZE + 1},
  };
  for (const auto& c : cases) {
    const auto path = file("changing.bin", std::string(SIZE, 'a'));
    StalledReceiver receiver;
    std::string outcome;
    std::thread uploader([&] {
      outcome = error_of([&] {
        upload_attachment_sync(receiver.url(), "u", "t", {.path = path}, {.timeout_seconds = 60});
      });
    });
    receiver.read_some(64 * 1024);
    c.change(path);
    const std::string received = receiver.read_to_end();
    uploader.join();

    EXPECT_EQ(outcome, "RuntimeError: Upload failed: " + std::filesystem::canonical(path).string() +
                           " changed while it was being sent (size now " +
                           std::to_string(c.size_after) + " bytes, expected " +
                           std::to_string(SIZE) + ")")
        << c.name;
    // The server never sees a whole request: the body stops short of its Content-Length.
    const auto head_end = received.find("\r\n\r\n");
    ASSERT_NE(head_end, std::string::npos) << c.name;
    const auto length_at = received.find("Content-Length: ");
    ASSERT_LT(length_at, head_end) << c.name;
    const auto announced = std::stoull(received.substr(length_at + 16));
    EXPECT_GT(announced, SIZE) << c.name;
    EXPECT_LT(received.size() - head_end - 4, announced) << c.name;
  }
}

TEST_F(Upload, AServerThatRefusesTheBodyBeforeReadingItIsReportedWithItsAnswer) {
  const auto path = file("huge.bin", std::string(32 * 1024 * 1024, 'a'));
  struct Case {
    std::string answer;
    ::testing::Matcher<std::string> outcome;
  };
  const Case cases[] = {
      {"HTTP/1.1 413 Payload Too Large\r\nContent-Length: 7\r\n\r\ntoo big",
       "RuntimeError: Upload failed (413): too big"},
      // Success for a body that was never sent whole cannot be believed.
      {"HTTP/1.1 200 OK\r\nContent-Length: 22\r\n\r\n{\"relative_path\": \"p\"}",
       ::testing::AnyOf("RuntimeError: Upload failed: Connection reset by peer",
                        "RuntimeError: Upload failed: Broken pipe")},
  };
  for (const auto& c : cases) {
    StalledReceiver receiver;
    std::string outcome;
    std::thread uploader([&] {
      outcome = error_of([&] {
        upload_attachment_sync(receiver.url(), "u", "t", {.path = path}, {.timeout_seconds = 60});
      });
    });
    receiver.read_some(64 * 1024);
    receiver.answer_and_close(c.answer);
    uploader.join();
    EXPECT_THAT(outcome, c.outcome);
  }
}

TEST_F(Upload, AFileApiThatStopsReadingEndsTheUploadAtTheWriteTimeLimit) {
  const auto path = file("stuck.bin", std::string(32 * 1024 * 1024, 'a'));
  StalledReceiver receiver;  // the connection is accepted by the kernel and never read
  EXPECT_EQ(error_of([&] {
              upload_attachment_sync(receiver.url(), "u", "t", {.path = path},
                                     {.timeout_seconds = 0.5});
            }),
            "RuntimeError: Upload failed: timed out");
}

}  // namespace
