# One helper each for our libraries, programs and tests keeps every CMakeLists.txt short.

set(VELMORA_WARNINGS -Wall -Wextra -Werror -Wno-missing-field-initializers)
# g++ 12 reports false -Wrestrict errors inside std::string at -O2/-O3 (GCC bug 105329).
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
  list(APPEND VELMORA_WARNINGS -Wno-restrict)
endif()

# Optimised builds keep only code something reaches: each function and object in its own
# section, unreferenced ones dropped at link time (the shared libraries' version scripts decide
# what counts as reachable from outside). Smaller text means fewer pages a run touches.
add_compile_options("$<$<CONFIG:Release>:-ffunction-sections;-fdata-sections>")
add_link_options("$<$<CONFIG:Release>:LINKER:--gc-sections>")

# With VELMORA_STATIC_DEPS the shared libraries take the C++ runtime and OpenSSL from the one
# private runtime library (cmake/VelmoraRuntime.cmake); what else a binary links from a static
# archive (SQLite, cmark-gfm, utf8proc, Source-highlight, and for programs the C++ runtime too)
# stays hidden in it: a shared library exports only its own API (its version script), so copies
# in different binaries never meet. Our own archives are left out of the list: the asio statics
# their objects define must stay exported (cli/wirelet/wirelet.map). The runtime library
# exports its archives on purpose.
if(VELMORA_STATIC_DEPS)
  add_link_options(-static-libstdc++ -static-libgcc
    "$<$<NOT:$<BOOL:$<TARGET_PROPERTY:VELMORA_RUNTIME>>>:LINKER:--exclude-libs=libstdc++.a:libgcc.a:libgcc_eh.a:libssl.a:libcrypto.a:libsqlite3.a:libutf8proc.a:libcmark-gfm.a:libcmark-gfm-extensions.a:libsource-highlight.a:libboost_regex.a>"
    # A shared library calls its own exported functions directly instead of through a symbol
    # look-up at load time. Data (asio's shared statics) is still looked up: it must stay one
    # object per process.
    "$<$<STREQUAL:$<TARGET_PROPERTY:TYPE>,SHARED_LIBRARY>:LINKER:-Bsymbolic-functions>"
    # A shared library must find every symbol it needs at link time: an OpenSSL function without
    # a forwarder in the runtime library would otherwise fail only when first called.
    "$<$<STREQUAL:$<TARGET_PROPERTY:TYPE>,SHARED_LIBRARY>:LINKER:-z,defs>"
    # Relative relocations packed (DT_RELR): the loader reads a few KiB instead of hundreds per
    # library. Needs glibc 2.36, which the static C++ runtime needs anyway (arc4random).
    "LINKER:-z,pack-relative-relocs")
  # The functions a one-shot run executes (cmake/hot_text.txt, written by scripts/hot-text) go
  # first in each shared library's code: the kernel maps a run's code in blocks of 64 KiB or
  # more around each page it touches, so scattered among the rest they made most of the text
  # resident. A name the build no longer has is ignored.
  set(VELMORA_HOT_TEXT_SCRIPT "${CMAKE_BINARY_DIR}/hot_text.ld")
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${PROJECT_SOURCE_DIR}/cmake/hot_text.txt")
  file(STRINGS "${PROJECT_SOURCE_DIR}/cmake/hot_text.txt" velmora_hot_functions REGEX "^[A-Za-z0-9_.$]+$")
  list(TRANSFORM velmora_hot_functions REPLACE "(.+)" "    *(.text.\\1)")
  list(JOIN velmora_hot_functions "\n" velmora_hot_functions)
  file(CONFIGURE OUTPUT "${VELMORA_HOT_TEXT_SCRIPT}" CONTENT
       "SECTIONS\n{\n  .text.velmora_hot :\n  {\n${velmora_hot_functions}\n  }\n}\nINSERT BEFORE .text;\n"
       @ONLY)
endif()

# velmora_hot_text(<shared library>): release builds order its code by cmake/hot_text.txt.
function(velmora_hot_text target)
  if(VELMORA_HOT_TEXT_SCRIPT)
    target_link_options(${target} PRIVATE "LINKER:-T,${VELMORA_HOT_TEXT_SCRIPT}")
    set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS "${VELMORA_HOT_TEXT_SCRIPT}")
  endif()
endfunction()

function(velmora_target_defaults target)
  target_compile_options(${target} PRIVATE ${VELMORA_WARNINGS})
  target_compile_features(${target} PUBLIC cxx_std_20)
endfunction()

# velmora_library(<name> STATIC|SHARED [SOURCES ...] [PUBLIC_LIBS ...] [PRIVATE_LIBS ...])
# Sources default to every src/*.cpp of the calling folder; include/ is public.
function(velmora_library name kind)
  cmake_parse_arguments(ARG "" "" "SOURCES;PUBLIC_LIBS;PRIVATE_LIBS" ${ARGN})
  if(NOT ARG_SOURCES)
    file(GLOB ARG_SOURCES CONFIGURE_DEPENDS "${CMAKE_CURRENT_SOURCE_DIR}/src/*.cpp")
  endif()
  add_library(${name} ${kind} ${ARG_SOURCES})
  target_include_directories(${name} PUBLIC
    "$<BUILD_INTERFACE:${CMAKE_CURRENT_SOURCE_DIR}/include>"
    "$<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>")
  target_include_directories(${name} PRIVATE "${CMAKE_CURRENT_SOURCE_DIR}/src")
  target_link_libraries(${name} PUBLIC ${ARG_PUBLIC_LIBS} PRIVATE ${ARG_PRIVATE_LIBS})
  velmora_target_defaults(${name})
  if(kind STREQUAL "SHARED")
    velmora_hot_text(${name})
  endif()
endfunction()
