// The tokens the test suite hands to the client. None of them may ever appear whole in anything
// the client prints; the first 8 characters (the debug form) are the one allowed trace. The
// output-scan CTest entry checks every captured output for them (output_log.hpp).
//
//   run_process(VELMORA_BIN, {.args = {"--token", std::string(velmora::testing::SESSION_TOKEN)}});
#pragma once

#include <array>
#include <string_view>

namespace velmora::testing {

/// A token given with --token or VELMORA_AUTH_TOKEN.
inline constexpr std::string_view SESSION_TOKEN = "vtk-session-3f9c2a71d8e4";
/// The access token of a saved login.
inline constexpr std::string_view SAVED_ACCESS_TOKEN = "vtk-saved-access-b51e07c9";
/// The refresh token of a saved login.
inline constexpr std::string_view SAVED_REFRESH_TOKEN = "vtk-saved-refresh-6d2f84a0";
/// A token the simulator refuses (--revoke-token).
inline constexpr std::string_view REVOKED_TOKEN = "vtk-revoked-e83a19c4f2";

/// A token no longer than the debug form's 8 characters: it may never show whole either.
inline constexpr std::string_view SHORT_TOKEN = "vtkQ8zX1";

inline constexpr std::array<std::string_view, 5> TEST_TOKENS = {
    SESSION_TOKEN, SAVED_ACCESS_TOKEN, SAVED_REFRESH_TOKEN, REVOKED_TOKEN, SHORT_TOKEN};

/// Prefixes of the tokens the simulator issues ("at-"/"rt-" and 32 hexadecimal digits).
inline constexpr std::array<std::string_view, 2> ISSUED_TOKEN_PREFIXES = {"at-", "rt-"};
inline constexpr std::size_t ISSUED_TOKEN_HEX_DIGITS = 32;

}  // namespace velmora::testing
