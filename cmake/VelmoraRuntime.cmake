# Release builds (VELMORA_STATIC_DEPS): one private runtime library, libvelmora_runtime.so,
# holds the C++ runtime for libwirelet, libparcelon and the session library, from Debian's static
# archive, instead of a copy in each, so a run maps, relocates and initialises it once. It
# travels in the wheel's lib/ with the others. The unwinder's archive hides its symbols: every
# binary keeps its own copy of that (cli/runtime/src/prime_unwinder.cpp). Included by
# VelmoraDependencies.cmake, before FindOpenSSL would define OpenSSL::SSL and OpenSSL::Crypto:
# here they name the runtime library.
#
# OpenSSL is libvelmora_tls.so, loaded by the runtime library with the first TLS connection:
# the runtime library defines the OpenSSL functions ours call as forwarders into it
# (cli/runtime/src/tls_functions.cpp). Relocating OpenSSL's tables took a third of a ws:// run's
# page faults before its first connection.
#
# Built twice: velmora_runtime_link exports all it holds and is what the libraries link
# against; libvelmora_runtime.so, the one that runs and ships, is linked afterwards exporting
# exactly the symbols they were left needing (cli/runtime/exports.cmake), so its symbol table
# is a few hundred names instead of fifteen thousand and --gc-sections drops what nobody uses.
# Both carry the soname libvelmora_runtime.so and sit in one folder.
foreach(archive ssl crypto)
  find_library(VELMORA_${archive}_ARCHIVE NAMES lib${archive}.a REQUIRED)
endforeach()
execute_process(COMMAND "${CMAKE_CXX_COMPILER}" -print-file-name=libstdc++.a
                OUTPUT_VARIABLE VELMORA_CXX_RUNTIME_ARCHIVE OUTPUT_STRIP_TRAILING_WHITESPACE)
if(NOT IS_ABSOLUTE "${VELMORA_CXX_RUNTIME_ARCHIVE}" OR NOT EXISTS "${VELMORA_CXX_RUNTIME_ARCHIVE}")
  message(FATAL_ERROR "VELMORA_STATIC_DEPS: the compiler has no libstdc++.a")
endif()
set(velmora_runtime_archives "${VELMORA_CXX_RUNTIME_ARCHIVE}")
set(velmora_runtime_dir "${PROJECT_SOURCE_DIR}/cli/runtime")

# libvelmora_tls.so: OpenSSL's archives whole, exporting exactly the functions the runtime
# library forwards to (the list in tls_functions.cpp), under a version of its own.
file(READ "${velmora_runtime_dir}/src/tls_functions.cpp" velmora_tls_source)
string(REGEX MATCHALL "\n  X\\([A-Za-z0-9_]+\\)" velmora_tls_functions "${velmora_tls_source}")
list(TRANSFORM velmora_tls_functions REPLACE "^\n  X\\(([A-Za-z0-9_]+)\\)$" "\\1")
if(NOT velmora_tls_functions)
  message(FATAL_ERROR "no OpenSSL functions listed in ${velmora_runtime_dir}/src/tls_functions.cpp")
endif()
list(JOIN velmora_tls_functions ";\n    " velmora_tls_lines)
set(velmora_tls_exports "${CMAKE_BINARY_DIR}/velmora_tls_exports.map")
file(CONFIGURE OUTPUT "${velmora_tls_exports}" CONTENT
     "/* Generated from cli/runtime/src/tls_functions.cpp. */\nVELMORA_TLS_1 {\n  global:\n    ${velmora_tls_lines};\n  local:\n    *;\n};\n"
     @ONLY)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${velmora_runtime_dir}/src/tls_functions.cpp")
add_library(velmora_tls_library SHARED "${velmora_runtime_dir}/src/tls_library.cpp")
target_link_options(velmora_tls_library PRIVATE
  "LINKER:--whole-archive" "${VELMORA_ssl_ARCHIVE}" "${VELMORA_crypto_ARCHIVE}"
  "LINKER:--no-whole-archive"
  "LINKER:--version-script=${velmora_tls_exports}" "LINKER:-soname,libvelmora_tls.so"
  # OpenSSL's calls stay inside it, whatever the process has loaded under the same names.
  "LINKER:-Bsymbolic")
target_link_libraries(velmora_tls_library PRIVATE ${CMAKE_DL_LIBS})
set_target_properties(velmora_tls_library PROPERTIES
  OUTPUT_NAME velmora_tls
  SKIP_BUILD_RPATH ON
  INSTALL_RPATH ""
  NO_SONAME ON
  VELMORA_RUNTIME ON
  LINK_DEPENDS "${velmora_tls_exports};${VELMORA_ssl_ARCHIVE};${VELMORA_crypto_ARCHIVE}")
velmora_hot_text(velmora_tls_library)
install(TARGETS velmora_tls_library LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})

# Release libraries that call none of libm's functions do not load it (cmake/drop_libm.cmake).
find_program(VELMORA_PATCHELF patchelf REQUIRED)
function(velmora_drop_libm target)
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND "${CMAKE_COMMAND}" "-DLIBRARY=$<TARGET_FILE:${target}>" "-DREADELF=${CMAKE_READELF}"
            "-DPATCHELF=${VELMORA_PATCHELF}" -P "${PROJECT_SOURCE_DIR}/cmake/drop_libm.cmake"
    VERBATIM)
endfunction()

function(velmora_runtime_library name version_script)
  add_library(${name} SHARED "${velmora_runtime_dir}/src/prime_unwinder.cpp"
                             "${velmora_runtime_dir}/src/tls_functions.cpp")
  # Built beside it: the forwarders load it from this library's folder.
  add_dependencies(${name} velmora_tls_library)
  # Header-only parts of the base library (velmora/base/installation.hpp).
  target_include_directories(${name} PRIVATE "${PROJECT_SOURCE_DIR}/cli/base/include")
  target_link_options(${name} PRIVATE
    "LINKER:--whole-archive" ${velmora_runtime_archives} "LINKER:--no-whole-archive"
    "LINKER:--version-script=${version_script}" "LINKER:-soname,libvelmora_runtime.so"
    # Its own references bind to its own definitions at link time: relative relocations, no
    # symbol look-ups for the vtables, type infos and tables it refers to.
    "LINKER:-Bsymbolic")
  target_link_libraries(${name} PRIVATE m ${CMAKE_DL_LIBS})
  set_target_properties(${name} PROPERTIES
    NO_SONAME ON
    VELMORA_RUNTIME ON
    # It needs only the C library; a RUNPATH would only be searched, subfolders first, for libm.
    SKIP_BUILD_RPATH ON
    INSTALL_RPATH ""
    LINK_DEPENDS "${version_script};${velmora_runtime_archives}")
  velmora_hot_text(${name})
endfunction()

velmora_runtime_library(velmora_runtime_link "${velmora_runtime_dir}/runtime.map")

set(velmora_runtime_users wirelet parcelon velmora_session)
set(velmora_runtime_exports "${CMAKE_BINARY_DIR}/velmora_runtime_exports.map")
set(velmora_runtime_user_files)
foreach(user ${velmora_runtime_users})
  list(APPEND velmora_runtime_user_files "$<TARGET_FILE:${user}>")
endforeach()
add_custom_command(
  OUTPUT "${velmora_runtime_exports}"
  COMMAND "${CMAKE_COMMAND}" -DNM=${CMAKE_NM} "-DOUTPUT=${velmora_runtime_exports}"
          "-DLIBRARIES=$<JOIN:${velmora_runtime_user_files},|>"
          -P "${velmora_runtime_dir}/exports.cmake"
  DEPENDS ${velmora_runtime_users} "${velmora_runtime_dir}/exports.cmake"
  COMMENT "Listing what the libraries need from the runtime library"
  VERBATIM)
velmora_runtime_library(velmora_runtime "${velmora_runtime_exports}")
target_sources(velmora_runtime PRIVATE "${velmora_runtime_exports}")
velmora_drop_libm(velmora_runtime)
install(TARGETS velmora_runtime LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})

# Programs (the simulator) keep their own hidden copies, as they do of the C++ runtime: a program
# binds a library's data (std::cout) by copy relocations, which a library linked with -Bsymbolic
# would not see.
add_library(velmora_openssl INTERFACE)
target_link_libraries(velmora_openssl INTERFACE
  "$<IF:$<STREQUAL:$<TARGET_PROPERTY:TYPE>,EXECUTABLE>,${VELMORA_ssl_ARCHIVE};${VELMORA_crypto_ARCHIVE};${CMAKE_DL_LIBS},velmora_runtime_link>")
add_library(OpenSSL::SSL ALIAS velmora_openssl)
add_library(OpenSSL::Crypto ALIAS velmora_openssl)
