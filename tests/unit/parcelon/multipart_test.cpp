#include "parcelon/multipart.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "parcelon/media_type.hpp"

namespace {

using ::testing::MatchesRegex;

TEST(Multipart, BodyIsByteExactWithRawFileBytes) {
  const std::string bytes("\x00\xff\r\nraw", 7);
  const std::string body =
      parcelon::build_multipart_body("----quillon-upload-0123", {.file_name = "a b.txt",
                                                                 .content_type = "text/plain",
                                                                 .file_bytes = bytes,
                                                                 .thread_id = "t-1",
                                                                 .user_id = ""});
  EXPECT_EQ(body,
            "------quillon-upload-0123\r\n"
            "Content-Disposition: form-data; name=\"file\"; filename=\"a b.txt\"\r\n"
            "Content-Type: text/plain\r\n"
            "\r\n" +
                bytes +
                "\r\n"
                "------quillon-upload-0123\r\n"
                "Content-Disposition: form-data; name=\"thread_id\"\r\n"
                "\r\n"
                "t-1\r\n"
                "------quillon-upload-0123\r\n"
                "Content-Disposition: form-data; name=\"user_id\"\r\n"
                "\r\n"
                "\r\n"
                "------quillon-upload-0123--\r\n");
}

TEST(Multipart, FileNameQuotesAndLineBreaksCannotBreakThePartHeader) {
  const std::pair<std::string, std::string> cases[] = {
      {"plain-näme 1.txt", "plain-näme 1.txt"},
      {"say \"hi\".txt", "say %22hi%22.txt"},
      {"a\r\nContent-Type: text/html\r\n\r\nx.txt",
       "a%0D%0AContent-Type: text/html%0D%0A%0D%0Ax.txt"},
      {"semi;colon%22.txt", "semi;colon%22.txt"},
  };
  for (const auto& [name, escaped] : cases) {
    EXPECT_EQ(parcelon::escape_multipart_file_name(name), escaped);
    const auto body = parcelon::build_multipart_body(
        "--b", {.file_name = name, .content_type = "a\r\nb", .file_bytes = "x"});
    EXPECT_NE(body.find("filename=\"" + escaped + "\"\r\nContent-Type: a%0D%0Ab\r\n\r\nx\r\n"),
              std::string::npos)
        << name;
  }
}

TEST(Multipart, BoundariesAreFreshVersionFourUuids) {
  const auto a = parcelon::new_boundary();
  EXPECT_THAT(a, MatchesRegex("----quillon-upload-[0-9a-f]{12}4[0-9a-f]{3}[89ab][0-9a-f]{15}"));
  EXPECT_NE(a, parcelon::new_boundary());
}

TEST(GuessType, ExtensionsCompressionAndFallback) {
  parcelon::MediaTypeTable table = parcelon::builtin_media_types();
  parcelon::add_mime_types(table,
                           "# comment line\n"
                           "application/x-custom\tcst cst2  # trailing comment\n"
                           "text/x-override md\n"
                           "\n"
                           "lonely/type\n");
  const std::pair<const char*, const char*> cases[] = {
      {"/tmp/a.png", "image/png"},
      {"report.PDF", "application/pdf"},
      {"notes.md", "text/x-override"},
      {"x.cst2", "application/x-custom"},
      {"archive.tar.gz", "application/x-tar"},
      {"archive.tgz", "application/x-tar"},
      {"log.txt.xz", "text/plain"},
      {"drawing.svgz", "image/svg+xml"},
      {"only.gz", "file"},
      {"report.unknownext", "file"},
      {"/home/u/.bashrc", "file"},
      {"/home/u/dir.d/Makefile", "file"},
      {"trailing.", "file"},
  };
  for (const auto& [path, type] : cases) EXPECT_EQ(parcelon::guess_type(path, table), type) << path;

  EXPECT_EQ(parcelon::guess_type("a.png"), "image/png");
  EXPECT_EQ(parcelon::guess_type("a.docx"),
            "application/vnd.openxmlformats-officedocument.wordprocessingml.document");
  EXPECT_EQ(parcelon::guess_type("a.unknownext"), "file");
}

}  // namespace
