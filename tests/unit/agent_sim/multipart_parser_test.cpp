#include "multipart_parser.hpp"

#include <gtest/gtest.h>

#include <functional>

namespace {

using velmora::agent_sim::decode_file_name;
using velmora::agent_sim::multipart_boundary;
using velmora::agent_sim::MultipartCallbacks;
using velmora::agent_sim::MultipartParser;

constexpr const char* TEST_BOUNDARY = "----quillon-upload-0123456789abcdef0123456789abcdef";

struct Parts {
  std::string file_headers = std::string("Content-Disposition: form-data; name=\"file\"; ") +
                             "filename=\"notes.txt\"\r\nContent-Type: text/plain\r\n";
  std::string content = "line one\r\n--not the boundary\r\nline two";
  std::string thread_headers = "Content-Disposition: form-data; name=\"thread_id\"\r\n";
  std::string thread = "t-1";
  std::string user_headers = "Content-Disposition: form-data; name=\"user_id\"\r\n";
  std::string user = "u-1";
  std::string closing = std::string("--") + TEST_BOUNDARY + "--\r\n";

  std::string body() const {
    const std::string b = std::string("--") + TEST_BOUNDARY + "\r\n";
    return b + file_headers + "\r\n" + content + "\r\n" + b + thread_headers + "\r\n" + thread +
           "\r\n" + b + user_headers + "\r\n" + user + "\r\n" + closing;
  }
};

struct Outcome {
  bool ok;
  std::string error;
  std::string file;
  velmora::agent_sim::MultipartFields fields;
  int starts = 0;
};

Outcome parse(const std::string& body, std::size_t chunk) {
  Outcome out;
  MultipartParser parser(TEST_BOUNDARY,
                         MultipartCallbacks{[&](const auto&) { ++out.starts; },
                                            [&](std::string_view bytes) { out.file += bytes; }});
  for (std::size_t pos = 0; pos < body.size(); pos += chunk) {
    parser.feed(std::string_view(body).substr(pos, chunk));
  }
  out.ok = parser.finish();
  out.error = parser.error();
  out.fields = parser.fields();
  return out;
}

TEST(MultipartParser, ReadsTheUploadBodyWhateverTheChunkSize) {
  Parts parts;
  // Pieces of the delimiter inside the file must not end it.
  parts.content = std::string("\x00\xff binary\r\n--", 13) + std::string(TEST_BOUNDARY).substr(0, 30) +
                  " still file\r\n-";
  for (const std::size_t chunk : {1u, 2u, 3u, 7u, 64u, 100000u}) {
    const auto out = parse(parts.body(), chunk);
    ASSERT_TRUE(out.ok) << "chunk " << chunk << ": " << out.error;
    EXPECT_EQ(out.file, parts.content) << "chunk " << chunk;
    EXPECT_EQ(out.fields.file_size, parts.content.size());
    EXPECT_EQ(out.fields.file_name, "notes.txt");
    EXPECT_EQ(out.fields.content_type, "text/plain");
    EXPECT_EQ(out.fields.thread_id, "t-1");
    EXPECT_EQ(out.fields.user_id, "u-1");
    EXPECT_EQ(out.starts, 1);
  }
}

TEST(MultipartParser, AcceptsEmptyFileAndEmptyUserId) {
  Parts parts;
  parts.content.clear();
  parts.user.clear();
  const auto out = parse(parts.body(), 5);
  ASSERT_TRUE(out.ok) << out.error;
  EXPECT_EQ(out.fields.file_size, 0u);
  EXPECT_EQ(out.fields.user_id, "");
}

TEST(MultipartParser, DecodesEscapedFileNames) {
  Parts parts;
  parts.file_headers =
      "Content-Disposition: form-data; name=\"file\"; filename=\"a%22b%0d%0Ac%41.txt\"\r\n"
      "Content-Type: file\r\n";
  const auto out = parse(parts.body(), 9);
  ASSERT_TRUE(out.ok) << out.error;
  EXPECT_EQ(out.fields.file_name_raw, "a%22b%0d%0Ac%41.txt");
  EXPECT_EQ(out.fields.file_name, "a\"b\r\nc%41.txt");
}

struct Malformed {
  const char* name;
  std::function<void(Parts&)> edit_parts;
  std::function<void(std::string&)> edit_body;
  std::string error;
};

void keep_body(std::string&) {}

TEST(MultipartParser, RefusesMalformedBodiesWithAReason) {
  const auto header = [](std::string Parts::*field, std::string value) {
    return [field, value](Parts& p) { p.*field = value; };
  };
  const auto unchanged = [](Parts&) {};
  const std::vector<Malformed> cases = {
      {"preamble", unchanged, [](std::string& b) { b = "hello\r\n" + b; },
       "body must start with the boundary line"},
      {"truncated", unchanged, [](std::string& b) { b.resize(b.size() / 2); },
       "body ended before the closing boundary"},
      {"missing final CRLF", [](Parts& p) { p.closing.resize(p.closing.size() - 2); }, keep_body,
       "body ended before the closing boundary"},
      {"epilogue", [](Parts& p) { p.closing += "trailer"; }, keep_body,
       "data after the closing boundary"},
      {"no filename",
       header(&Parts::file_headers,
              "Content-Disposition: form-data; name=\"file\"\r\nContent-Type: text/plain\r\n"),
       keep_body, "part file has no filename"},
      {"no content type",
       header(&Parts::file_headers,
              "Content-Disposition: form-data; name=\"file\"; filename=\"a\"\r\n"),
       keep_body, "part file has no Content-Type"},
      {"parts swapped", [](Parts& p) { std::swap(p.thread_headers, p.user_headers); }, keep_body,
       "part 2 must be named thread_id, not user_id"},
      {"extra header", [](Parts& p) { p.thread_headers += "X-Extra: 1\r\n"; }, keep_body,
       "unexpected header X-Extra in part thread_id"},
      {"content type on a field",
       [](Parts& p) { p.user_headers += "Content-Type: text/plain\r\n"; }, keep_body,
       "unexpected header Content-Type in part user_id"},
      {"repeated header", [](Parts& p) { p.file_headers += "Content-Type: text/plain\r\n"; },
       keep_body, "repeated header Content-Type in part file"},
      {"raw quote in filename",
       header(&Parts::file_headers,
              "Content-Disposition: form-data; name=\"file\"; filename=\"a\"b\"\r\n"
              "Content-Type: text/plain\r\n"),
       keep_body, "unexpected text after Content-Disposition parameter filename in part 1"},
      {"not form-data",
       header(&Parts::thread_headers, "Content-Disposition: attachment; name=\"thread_id\"\r\n"),
       keep_body, "Content-Disposition must be form-data in part 2"},
      {"bare LF in headers",
       header(&Parts::thread_headers, "Content-Disposition: form-data; name=\"thread_id\"\n"),
       keep_body, "malformed header line in part thread_id"},
  };
  for (const auto& c : cases) {
    Parts parts;
    c.edit_parts(parts);
    std::string body = parts.body();
    c.edit_body(body);
    for (const std::size_t chunk : {1u, 4096u}) {
      const auto out = parse(body, chunk);
      EXPECT_FALSE(out.ok) << c.name;
      EXPECT_EQ(out.error, c.error) << c.name << " (chunk " << chunk << ")";
    }
  }
}

TEST(MultipartParser, RefusesAFourthPart) {
  Parts parts;
  const std::string b = std::string("--") + TEST_BOUNDARY + "\r\n";
  parts.user += "\r\n" + b + "Content-Disposition: form-data; name=\"extra\"\r\n\r\nx";
  const auto out = parse(parts.body(), 3);
  EXPECT_FALSE(out.ok);
  EXPECT_EQ(out.error, "unexpected part after user_id (expected the closing boundary)");
}

TEST(MultipartBoundary, ReadsTheContentTypeHeader) {
  struct Case {
    std::string header;
    std::string boundary;
    std::string error;
  };
  const std::vector<Case> cases = {
      {"multipart/form-data; boundary=abc", "abc", ""},
      {"Multipart/Form-Data;charset=utf-8; BOUNDARY=\"a b\"", "a b", ""},
      {"application/json", "", "Content-Type must be multipart/form-data"},
      {"multipart/form-data", "", "Content-Type has no boundary"},
      {"multipart/form-data; boundary=", "", "multipart boundary must have 1 to 70 characters"},
      {"multipart/form-data; boundary=" + std::string(71, 'x'), "",
       "multipart boundary must have 1 to 70 characters"},
  };
  for (const auto& c : cases) {
    std::string error;
    const auto boundary = multipart_boundary(c.header, error);
    EXPECT_EQ(boundary.value_or(""), c.boundary) << c.header;
    EXPECT_EQ(error, c.error) << c.header;
  }
}

TEST(MultipartBoundary, DecodesOnlyQuoteCarriageReturnAndLineFeed) {
  EXPECT_EQ(decode_file_name("%22%0D%0a%20%2"), "\"\r\n%20%2");
  EXPECT_EQ(decode_file_name("plain.txt"), "plain.txt");
}

}  // namespace
