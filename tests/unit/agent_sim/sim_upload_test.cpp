// The File API upload of the simulator binary over loopback.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>

#include "sha256.hpp"
#include "sim_client.hpp"
#include "sim_process.hpp"
#include "test_support.hpp"

namespace {

using ::testing::HasSubstr;
using velmora::agent_sim::testing::Headers;
using velmora::agent_sim::testing::http_request;
using velmora::agent_sim::testing::HttpReply;
using velmora::agent_sim::testing::raw_exchange;
using velmora::testing::SimProcess;

constexpr const char* TEST_BOUNDARY = "----quillon-upload-00112233445566778899aabbccddeeff";
constexpr const char* UPLOAD_PATH = "/api/v2/upload_attachment";

// The body the attachment client sends, line for line.
std::string body(const std::string& file_name, const std::string& content,
                 const std::string& thread = "t-1", const std::string& user = "u-1",
                 const std::string& type = "text/plain") {
  const std::string b = std::string("--") + TEST_BOUNDARY;
  return b + "\r\nContent-Disposition: form-data; name=\"file\"; filename=\"" + file_name +
         "\"\r\nContent-Type: " + type + "\r\n\r\n" + content + "\r\n" + b +
         "\r\nContent-Disposition: form-data; name=\"thread_id\"\r\n\r\n" + thread + "\r\n" + b +
         "\r\nContent-Disposition: form-data; name=\"user_id\"\r\n\r\n" + user + "\r\n" + b +
         "--\r\n";
}

Headers headers(const std::string& token = "tok") {
  Headers h = {{"Content-Type", std::string("multipart/form-data; boundary=") + TEST_BOUNDARY}};
  if (!token.empty()) {
    h.emplace_back("Velmora-Authorization", token);
    h.emplace_back("x-user-token", token);
  }
  h.emplace_back("x-user-id", "u-1");
  return h;
}

HttpReply upload(const SimProcess& sim, const std::string& payload, const Headers& h = headers()) {
  return http_request(sim.port(), "POST", UPLOAD_PATH, h, payload);
}

TEST(SimUpload, StoresTheFileAndRecordsTheRequest) {
  SimProcess sim;
  const auto reply = upload(sim, body("notes.txt", "hello"));
  ASSERT_EQ(reply.status, 200) << reply.body;
  EXPECT_EQ(reply.json(), (boost::json::object{{"relative_path", "t-1/notes.txt"}}));
  EXPECT_EQ(velmora::testing::read_file(sim.upload_dir() / "t-1" / "notes.txt"), "hello");

  const auto again = upload(sim, body("notes.txt", "second"));
  EXPECT_EQ(again.json().at("relative_path"), "t-1/notes-2.txt");
  EXPECT_EQ(velmora::testing::read_file(sim.upload_dir() / "t-1" / "notes-2.txt"), "second");

  const auto records = sim.wait_for_records("upload", 2);
  ASSERT_EQ(records.size(), 2u);
  const auto& r = records[0];
  EXPECT_EQ(r.at("status"), 200);
  EXPECT_EQ(r.at("sha256"), "2cf24dba5fb0a30e26e83b2ac5b9e29e1b161e5c1fa7425e73043362938b9824");
  EXPECT_EQ(r.at("size"), 5);
  EXPECT_EQ(r.at("file_name"), "notes.txt");
  EXPECT_EQ(r.at("content_type"), "text/plain");
  EXPECT_EQ(r.at("fields"), (boost::json::object{{"thread_id", "t-1"}, {"user_id", "u-1"}}));
  EXPECT_EQ(r.at("headers").at("velmora-authorization"), "tok");
  EXPECT_EQ(r.at("headers").at("x-user-id"), "u-1");
  EXPECT_EQ(r.at("boundary"), TEST_BOUNDARY);
  EXPECT_EQ(r.at("relative_path"), "t-1/notes.txt");
}

TEST(SimUpload, EscapedAndHostileNamesStayInsideTheUploadFolder) {
  SimProcess sim;
  struct Case {
    std::string file_name, thread, relative_path;
  };
  for (const auto& c : std::vector<Case>{{"say %22hi%22.txt", "t", "t/say \"hi\".txt"},
                                         {"../../escape.txt", "t", "t/_._.._escape.txt"},
                                         {"a.txt", "../up", "_._up/a.txt"},
                                         {"b.txt", "", "_no_thread/b.txt"}}) {
    const auto reply = upload(sim, body(c.file_name, "x", c.thread));
    ASSERT_EQ(reply.status, 200) << reply.body;
    EXPECT_EQ(reply.json().at("relative_path").as_string(), c.relative_path) << c.file_name;
    EXPECT_TRUE(std::filesystem::is_regular_file(sim.upload_dir() / c.relative_path))
        << c.relative_path;
  }
  const auto records = sim.wait_for_records("upload", 1);
  EXPECT_EQ(records[0].at("file_name_raw"), "say %22hi%22.txt");
  EXPECT_EQ(records[0].at("file_name"), "say \"hi\".txt");
}

TEST(SimUpload, ALargeFileIsStreamedWhole) {
  SimProcess sim;
  std::string content(6 * 1024 * 1024 + 17, '\0');
  for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 31 % 251);
  const auto reply = upload(sim, body("big.bin", content, "t", "u", "application/octet-stream"));
  ASSERT_EQ(reply.status, 200) << reply.body;
  EXPECT_EQ(std::filesystem::file_size(sim.upload_dir() / "t" / "big.bin"), content.size());
  const auto r = sim.wait_for_records("upload", 1).at(0);
  EXPECT_EQ(r.at("sha256").as_string(), velmora::agent_sim::Sha256::of(content));
}

TEST(SimUpload, BadRequestsAreRefusedWithAReason) {
  SimProcess sim({"--revoke-token", "revoked", "--max-upload-bytes", "4096"});
  struct Case {
    const char* name;
    Headers headers;
    std::string payload;
    int status;
    std::string detail;
  };
  Headers json_type = headers();
  json_type[0].second = "application/json";
  const std::vector<Case> cases = {
      {"malformed body", headers(), body("a.txt", "x").substr(5), 400,
       "malformed multipart body: body must start with the boundary line"},
      {"missing part", headers(),
       body("a.txt", "x")
               .substr(0, body("a.txt", "x")
                              .find("\r\n--" + std::string(TEST_BOUNDARY) +
                                    "\r\nContent-Disposition: form-data; "
                                    "name=\"user_id\"")) +
           "\r\n--" + TEST_BOUNDARY + "--\r\n",
       400, "malformed multipart body: missing part user_id"},
      {"not multipart", json_type, "{}", 400, "Content-Type must be multipart/form-data"},
      {"revoked token", headers("revoked"), body("a.txt", "x"), 401,
       "token in Velmora-Authorization is not accepted"},
      {"too large", headers(), body("a.txt", std::string(5000, 'x')), 413,
       "upload body exceeds 4096 bytes"},
  };
  for (const auto& c : cases) {
    const auto reply = upload(sim, c.payload, c.headers);
    EXPECT_EQ(reply.status, c.status) << c.name << ": " << reply.body;
    EXPECT_EQ(reply.json().at("detail").as_string(), c.detail) << c.name;
  }
  EXPECT_EQ(http_request(sim.port(), "GET", UPLOAD_PATH).status, 405);
  // Nothing half-written is left behind.
  std::size_t files = 0;
  if (std::filesystem::exists(sim.upload_dir())) {
    for (const auto& entry : std::filesystem::recursive_directory_iterator(sim.upload_dir())) {
      files += entry.is_regular_file();
    }
  }
  EXPECT_EQ(files, 0u);
  const auto records = sim.wait_for_records("upload", cases.size() + 1);
  EXPECT_EQ(records.at(0).at("error"), "body must start with the boundary line");
}

TEST(SimUpload, StrictTokensNeedAToken) {
  SimProcess sim({"--strict-tokens", "--token", "good=u-1"});
  EXPECT_EQ(upload(sim, body("a.txt", "x"), headers("")).status, 401);
  EXPECT_EQ(upload(sim, body("a.txt", "x"), headers("unknown")).status, 401);
  EXPECT_EQ(upload(sim, body("a.txt", "x"), headers("good")).status, 200);
}

TEST(SimUpload, FaultAnswers) {
  SimProcess status({"--upload-status", "413", "--upload-body", "too big"});
  const auto refused = upload(status, body("a.txt", "x"));
  EXPECT_EQ(refused.status, 413);
  EXPECT_EQ(refused.body, "too big");
  EXPECT_THAT(refused.headers.at("content-type"), HasSubstr("text/plain"));

  SimProcess missing({"--upload-missing-relative-path"});
  const auto answered = upload(missing, body("a.txt", "x"));
  EXPECT_EQ(answered.status, 200);
  EXPECT_FALSE(answered.json().contains("relative_path"));
  EXPECT_EQ(answered.json().at("file_name"), "a.txt");
}

TEST(SimUpload, HonoursExpectContinue) {
  SimProcess sim;
  const std::string payload = body("c.txt", "continued");
  std::string request = std::string("POST ") + UPLOAD_PATH + " HTTP/1.1\r\nHost: x\r\n";
  for (const auto& [name, value] : headers()) request += name + ": " + value + "\r\n";
  request += "Expect: 100-continue\r\nConnection: close\r\nContent-Length: " +
             std::to_string(payload.size()) + "\r\n\r\n" + payload;
  const auto answer = raw_exchange(sim.port(), request);
  EXPECT_THAT(answer, ::testing::StartsWith("HTTP/1.1 100 Continue\r\n"));
  EXPECT_THAT(answer, HasSubstr("HTTP/1.1 200 OK"));
  EXPECT_THAT(answer, HasSubstr("\"relative_path\": \"t-1/c.txt\""));
}

TEST(SimUpload, ChunkedBodiesAndCutOffBodies) {
  SimProcess sim;
  const std::string payload = body("chunked.txt", "in pieces");
  std::string head = std::string("POST ") + UPLOAD_PATH + " HTTP/1.1\r\nHost: x\r\n";
  for (const auto& [name, value] : headers()) head += name + ": " + value + "\r\n";
  std::string chunked = head + "Transfer-Encoding: chunked\r\nConnection: close\r\n\r\n";
  for (std::size_t pos = 0; pos < payload.size(); pos += 10) {
    const auto piece = payload.substr(pos, 10);
    char size[16];
    std::snprintf(size, sizeof size, "%zx\r\n", piece.size());
    chunked += size + piece + "\r\n";
  }
  chunked += "0\r\n\r\n";
  EXPECT_THAT(raw_exchange(sim.port(), chunked),
              HasSubstr("\"relative_path\": \"t-1/chunked.txt\""));
  EXPECT_EQ(velmora::testing::read_file(sim.upload_dir() / "t-1" / "chunked.txt"), "in pieces");

  // The client goes away halfway through its declared body.
  const std::string cut = head + "Content-Length: " + std::to_string(payload.size()) + "\r\n\r\n" +
                          payload.substr(0, payload.size() / 2);
  raw_exchange(sim.port(), cut, 2);
  const auto record = sim.wait_for_record([](const boost::json::object& line) {
    return line.at("event") == "upload" && line.contains("error");
  });
  ASSERT_TRUE(record);
  EXPECT_THAT(std::string(record->at("error").as_string()), HasSubstr("upload body incomplete"));
  EXPECT_EQ(http_request(sim.port(), "GET", "/healthz").status, 200);
}

}  // namespace
