# Every dependency is a Debian bookworm package (see scripts/setup).
#
# VELMORA_STATIC_DEPS (the release preset): every library but the C library comes from Debian's
# static archives, so the binaries run wherever glibc is new enough (the C++ runtime and OpenSSL
# through VelmoraRuntime.cmake). Switching it needs a fresh build folder: the libraries found
# are cached.
if(VELMORA_STATIC_DEPS)
  if(VELMORA_SANITIZE)
    message(FATAL_ERROR "VELMORA_STATIC_DEPS is for release builds; the sanitizers link dynamically")
  endif()
  set(OPENSSL_USE_STATIC_LIBS TRUE)
  set(velmora_library_suffixes "${CMAKE_FIND_LIBRARY_SUFFIXES}")
  set(CMAKE_FIND_LIBRARY_SUFFIXES .a)
endif()

find_package(Boost 1.81 REQUIRED CONFIG COMPONENTS headers)
if(VELMORA_STATIC_DEPS)
  include(${CMAKE_CURRENT_LIST_DIR}/VelmoraRuntime.cmake)
endif()
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

# GNU Source-highlight: the runtime library is installed, the headers and static archives are
# unpacked into build/deps by scripts/setup (its -dev package conflicts with libboost1.81-dev).
# The release build links the archive with the static Boost.Regex 1.74 it was compiled against.
set(VELMORA_DEPS_PREFIX "${PROJECT_SOURCE_DIR}/build/deps/usr" CACHE PATH
    "Packages scripts/setup unpacks instead of installing")
find_path(SOURCE_HIGHLIGHT_INCLUDE_DIR srchilite/sourcehighlighter.h
          PATHS "${VELMORA_DEPS_PREFIX}/include" NO_DEFAULT_PATH)
if(NOT SOURCE_HIGHLIGHT_INCLUDE_DIR)
  message(FATAL_ERROR "Source-highlight headers not found in ${VELMORA_DEPS_PREFIX}/include: "
                      "run scripts/setup")
endif()
if(VELMORA_STATIC_DEPS)
  find_library(SOURCE_HIGHLIGHT_ARCHIVE NAMES libsource-highlight.a
               PATHS "${VELMORA_DEPS_PREFIX}/lib/${CMAKE_LIBRARY_ARCHITECTURE}" NO_DEFAULT_PATH
               REQUIRED)
  # The archive is compiled for programs (PIE): its flex scanners reach the C library's stdin,
  # stdout and stderr PC-relative, which a shared library cannot resolve. A copy with those
  # three names changed links against stand-ins the renderer defines (code_highlight.cpp)
  # pointing at the same streams; everything else in it is position-independent. Its static
  # constructors move out of .init_array: the renderer runs them before it first highlights.
  set(SOURCE_HIGHLIGHT_LIBRARY "${CMAKE_BINARY_DIR}/deps/libsource-highlight.a")
  file(MAKE_DIRECTORY "${CMAKE_BINARY_DIR}/deps")
  execute_process(
    COMMAND "${CMAKE_OBJCOPY}"
            --redefine-sym stdin=velmora_source_highlight_stdin
            --redefine-sym stdout=velmora_source_highlight_stdout
            --redefine-sym stderr=velmora_source_highlight_stderr
            --rename-section .init_array=velmora_source_highlight_init
            "${SOURCE_HIGHLIGHT_ARCHIVE}" "${SOURCE_HIGHLIGHT_LIBRARY}"
    RESULT_VARIABLE objcopy_status)
  if(NOT objcopy_status EQUAL 0)
    message(FATAL_ERROR "objcopy could not prepare ${SOURCE_HIGHLIGHT_ARCHIVE}")
  endif()
  find_library(SOURCE_HIGHLIGHT_REGEX_LIBRARY NAMES libboost_regex.a
               PATHS "${VELMORA_DEPS_PREFIX}/lib/${CMAKE_LIBRARY_ARCHITECTURE}" NO_DEFAULT_PATH
               REQUIRED)
else()
  find_library(SOURCE_HIGHLIGHT_LIBRARY NAMES libsource-highlight.so.4 REQUIRED)
  find_library(SOURCE_HIGHLIGHT_REGEX_LIBRARY NAMES libboost_regex.so.1.74.0 REQUIRED)
endif()
# Boost 1.74's headers, for the one file that searches with the library's Boost.Regex
# (cli/renderer/src/rule_matcher.cpp); everything else includes Boost 1.81.
find_path(SOURCE_HIGHLIGHT_BOOST_INCLUDE_DIR boost/regex.hpp
          PATHS "${VELMORA_DEPS_PREFIX}/../boost1.74/usr/include" NO_DEFAULT_PATH)
if(NOT SOURCE_HIGHLIGHT_BOOST_INCLUDE_DIR)
  message(FATAL_ERROR "Boost 1.74 headers not found in build/deps/boost1.74: run scripts/setup")
endif()
add_library(velmora::source_highlight INTERFACE IMPORTED)
# The headers' own Boost includes (boost/shared_ptr.hpp) come from Boost 1.81, listed first.
set_target_properties(velmora::source_highlight PROPERTIES
  INTERFACE_INCLUDE_DIRECTORIES "${SOURCE_HIGHLIGHT_INCLUDE_DIR}"
  INTERFACE_LINK_LIBRARIES
    "${SOURCE_HIGHLIGHT_LIBRARY};${SOURCE_HIGHLIGHT_REGEX_LIBRARY};Boost::headers")

if(VELMORA_STATIC_DEPS)
  set(CMAKE_FIND_LIBRARY_SUFFIXES "${velmora_library_suffixes}")
  # What the archives take from the C library, which a shared library would have named itself.
  set_property(TARGET SQLite::SQLite3 APPEND PROPERTY INTERFACE_LINK_LIBRARIES
               m ${CMAKE_DL_LIBS} Threads::Threads)
  foreach(archive ${OPENSSL_SSL_LIBRARY} ${OPENSSL_CRYPTO_LIBRARY} ${SQLite3_LIBRARY}
                  ${UTF8PROC_LIBRARY} ${CMARK_GFM_LIBRARY} ${CMARK_GFM_EXTENSIONS_LIBRARY})
    if(NOT archive MATCHES "\\.a$")
      message(FATAL_ERROR "VELMORA_STATIC_DEPS: ${archive} is no static archive")
    endif()
  endforeach()
endif()

# Asio: coroutines, no deprecated names.
add_library(velmora::asio INTERFACE IMPORTED)
set_target_properties(velmora::asio PROPERTIES
  INTERFACE_LINK_LIBRARIES "Boost::headers;Threads::Threads"
  INTERFACE_COMPILE_DEFINITIONS "BOOST_ASIO_NO_DEPRECATED;BOOST_ASIO_DISABLE_BOOST_COROUTINE")
