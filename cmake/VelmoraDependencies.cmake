# Every dependency is a Debian bookworm package (see scripts/setup).
find_package(Boost 1.81 REQUIRED CONFIG COMPONENTS headers)
find_package(OpenSSL REQUIRED)
find_package(SQLite3 REQUIRED)
find_package(CLI11 CONFIG REQUIRED)
find_package(fmt CONFIG REQUIRED)
find_package(Threads REQUIRED)

find_path(UTF8PROC_INCLUDE_DIR utf8proc.h REQUIRED)
find_library(UTF8PROC_LIBRARY NAMES utf8proc REQUIRED)
add_library(velmora::utf8proc UNKNOWN IMPORTED)
set_target_properties(velmora::utf8proc PROPERTIES
  IMPORTED_LOCATION "${UTF8PROC_LIBRARY}" INTERFACE_INCLUDE_DIRECTORIES "${UTF8PROC_INCLUDE_DIR}")

# cmark-gfm ships neither CMake nor pkg-config files.
find_path(CMARK_GFM_INCLUDE_DIR cmark-gfm.h REQUIRED)
find_library(CMARK_GFM_LIBRARY NAMES cmark-gfm REQUIRED)
find_library(CMARK_GFM_EXTENSIONS_LIBRARY NAMES cmark-gfm-extensions REQUIRED)
add_library(velmora::cmark_gfm INTERFACE IMPORTED)
set_target_properties(velmora::cmark_gfm PROPERTIES
  INTERFACE_INCLUDE_DIRECTORIES "${CMARK_GFM_INCLUDE_DIR}"
  INTERFACE_LINK_LIBRARIES "${CMARK_GFM_EXTENSIONS_LIBRARY};${CMARK_GFM_LIBRARY}")

# Asio: coroutines, no deprecated names.
add_library(velmora::asio INTERFACE IMPORTED)
set_target_properties(velmora::asio PROPERTIES
  INTERFACE_LINK_LIBRARIES "Boost::headers;Threads::Threads"
  INTERFACE_COMPILE_DEFINITIONS "BOOST_ASIO_NO_DEPRECATED;BOOST_ASIO_DISABLE_BOOST_COROUTINE")
