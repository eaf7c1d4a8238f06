// Media type of a file from its name, like a browser picking the type of a file to upload.
//
// The table is the system's /etc/mime.types over a built-in table of common types. A
// compression suffix (.gz, .bz2, .xz, .Z, .br) is set aside and the type of what it compresses
// is used (.tar.gz → application/x-tar); .tgz and friends are read as .tar.gz. An exact
// extension match wins over a lower-cased one. No match gives "file".
//
//   parcelon::guess_type("report.PDF")       // "application/pdf"
//   parcelon::guess_type("notes.unknownext") // "file"
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <unordered_map>

namespace parcelon {

/// Extension with its dot (".png") → media type.
using MediaTypeTable = std::unordered_map<std::string, std::string>;

/// The common types known without any system file.
[[nodiscard]] const MediaTypeTable& builtin_media_types();

/// Entries of a mime.types text ("type ext1 ext2 …" lines, "#" comments) added to `table`,
/// replacing what it had for those extensions.
void add_mime_types(MediaTypeTable& table, std::string_view text);

/// The built-in table overlaid with /etc/mime.types when it can be read; built once.
[[nodiscard]] const MediaTypeTable& system_media_types();

[[nodiscard]] std::string guess_type(const std::filesystem::path& path,
                                     const MediaTypeTable& table);

/// guess_type with system_media_types().
[[nodiscard]] std::string guess_type(const std::filesystem::path& path);

}  // namespace parcelon
