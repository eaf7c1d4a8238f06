// The account commands `velmora login` and `velmora logout`.
//
// The `run_*` forms take the credentials component and the console, so tests pass fakes; the
// `handle_*` forms are what `main` calls (real credentials, the terminal's console).
#pragma once

#include <boost/json/object.hpp>

#include "velmora/oauth/credentials.hpp"
#include "velmora/term/console.hpp"

namespace velmora {

/// Browser login; prints the address, (with `debug`) every poll response, and the outcome.
/// Returns the exit status: 0 logged in, 1 the login failed.
[[nodiscard]] int run_login_command(velmora::oauth::Credentials& credentials,
                                    velmora::term::Console& console, bool debug);
/// Forgets the saved tokens; always status 0.
[[nodiscard]] int run_logout_command(velmora::oauth::Credentials& credentials,
                                     velmora::term::Console& console);

/// Loads .env, then logs in against the configured credentials service.
[[nodiscard]] int handle_login_command(bool debug);
[[nodiscard]] int handle_logout_command(bool debug = false);

/// A poll response with the values of access_token, refresh_token and id_token cut to their
/// first 8 characters and "…", so that no printed line holds a whole token.
[[nodiscard]] boost::json::object mask_token_fields(const boost::json::object& response);

}  // namespace velmora
