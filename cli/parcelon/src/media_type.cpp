#include "parcelon/media_type.hpp"

#include <algorithm>
#include <array>
#include <fstream>
#include <sstream>
#include <utility>

#include "velmora/base/strings.hpp"

namespace parcelon {
namespace {

// Read as the longer suffix they stand for.
constexpr std::array<std::pair<std::string_view, std::string_view>, 6> SUFFIX_ALIASES{{
    {".svgz", ".svg.gz"},
    {".tgz", ".tar.gz"},
    {".taz", ".tar.gz"},
    {".tz", ".tar.gz"},
    {".tbz2", ".tar.bz2"},
    {".txz", ".tar.xz"},
}};

constexpr std::array<std::string_view, 5> COMPRESSION_SUFFIXES{".gz", ".Z", ".bz2", ".xz", ".br"};

// The extension of the last path component, dot included; names that are all dots or start
// with their only dot have none.
std::string_view extension_of(std::string_view name) {
  const auto slash = name.rfind('/');
  const auto base = slash == std::string_view::npos ? name : name.substr(slash + 1);
  const auto dot = base.rfind('.');
  if (dot == std::string_view::npos) return {};
  const auto leading = base.find_first_not_of('.');
  if (leading == std::string_view::npos || dot < leading) return {};
  return base.substr(dot);
}

}  // namespace

const MediaTypeTable& builtin_media_types() {
  static const MediaTypeTable table{
      {".txt", "text/plain"},
      {".text", "text/plain"},
      {".log", "text/plain"},
      {".md", "text/markdown"},
      {".markdown", "text/markdown"},
      {".csv", "text/csv"},
      {".tsv", "text/tab-separated-values"},
      {".html", "text/html"},
      {".htm", "text/html"},
      {".css", "text/css"},
      {".js", "text/javascript"},
      {".mjs", "text/javascript"},
      {".xml", "text/xml"},
      {".ics", "text/calendar"},
      {".py", "text/x-python"},
      {".c", "text/x-csrc"},
      {".h", "text/x-chdr"},
      {".cpp", "text/x-c++src"},
      {".java", "text/x-java"},
      {".sh", "application/x-sh"},
      {".json", "application/json"},
      {".yaml", "application/yaml"},
      {".yml", "application/yaml"},
      {".pdf", "application/pdf"},
      {".rtf", "application/rtf"},
      {".zip", "application/zip"},
      {".tar", "application/x-tar"},
      {".7z", "application/x-7z-compressed"},
      {".rar", "application/vnd.rar"},
      {".wasm", "application/wasm"},
      {".epub", "application/epub+zip"},
      {".doc", "application/msword"},
      {".xls", "application/vnd.ms-excel"},
      {".ppt", "application/vnd.ms-powerpoint"},
      {".docx", "application/vnd.openxmlformats-officedocument.wordprocessingml.document"},
      {".xlsx", "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet"},
      {".pptx", "application/vnd.openxmlformats-officedocument.presentationml.presentation"},
      {".odt", "application/vnd.oasis.opendocument.text"},
      {".ods", "application/vnd.oasis.opendocument.spreadsheet"},
      {".odp", "application/vnd.oasis.opendocument.presentation"},
      {".png", "image/png"},
      {".jpg", "image/jpeg"},
      {".jpeg", "image/jpeg"},
      {".jpe", "image/jpeg"},
      {".gif", "image/gif"},
      {".webp", "image/webp"},
      {".svg", "image/svg+xml"},
      {".bmp", "image/bmp"},
      {".ico", "image/vnd.microsoft.icon"},
      {".tif", "image/tiff"},
      {".tiff", "image/tiff"},
      {".heic", "image/heic"},
      {".avif", "image/avif"},
      {".mp3", "audio/mpeg"},
      {".wav", "audio/x-wav"},
      {".ogg", "audio/ogg"},
      {".flac", "audio/flac"},
      {".m4a", "audio/mp4"},
      {".aac", "audio/aac"},
      {".mp4", "video/mp4"},
      {".mpeg", "video/mpeg"},
      {".mov", "video/quicktime"},
      {".webm", "video/webm"},
      {".avi", "video/x-msvideo"},
      {".mkv", "video/x-matroska"},
      {".woff", "font/woff"},
      {".woff2", "font/woff2"},
      {".ttf", "font/ttf"},
      {".otf", "font/otf"},
  };
  return table;
}

void add_mime_types(MediaTypeTable& table, std::string_view text) {
  std::istringstream lines{std::string(text)};
  std::string line;
  while (std::getline(lines, line)) {
    if (const auto hash = line.find('#'); hash != std::string::npos) line.erase(hash);
    std::istringstream words(line);
    std::string type;
    if (!(words >> type)) continue;
    std::string ext;
    while (words >> ext) table["." + ext] = type;
  }
}

const MediaTypeTable& system_media_types() {
  static const MediaTypeTable table = [] {
    MediaTypeTable merged = builtin_media_types();
    // A missing or unreadable system file leaves the built-in table.
    if (std::ifstream file("/etc/mime.types"); file) {
      std::ostringstream text;
      text << file.rdbuf();
      add_mime_types(merged, text.str());
    }
    return merged;
  }();
  return table;
}

std::string guess_type(const std::filesystem::path& path, const MediaTypeTable& table) {
  std::string name = path.string();
  // Expand aliases (.tgz → .tar.gz) until none applies.
  for (bool again = true; again;) {
    again = false;
    const std::string_view ext = extension_of(name);
    for (const auto& [alias, full] : SUFFIX_ALIASES) {
      if (ext == alias) {
        name.replace(name.size() - alias.size(), alias.size(), full);
        again = true;
        break;
      }
    }
  }
  // Set one compression suffix aside: the type is that of what was compressed.
  if (const std::string_view ext = extension_of(name);
      std::find(COMPRESSION_SUFFIXES.begin(), COMPRESSION_SUFFIXES.end(), ext) !=
      COMPRESSION_SUFFIXES.end()) {
    name.resize(name.size() - ext.size());
  }
  const std::string ext(extension_of(name));
  if (ext.empty()) return "file";
  if (auto it = table.find(ext); it != table.end()) return it->second;
  if (auto it = table.find(velmora::base::ascii_lower(ext)); it != table.end()) return it->second;
  return "file";
}

std::string guess_type(const std::filesystem::path& path) {
  return guess_type(path, system_media_types());
}

}  // namespace parcelon
