#include "velmora/account_commands.hpp"

#include <string>
#include <string_view>

#include "velmora/oauth/device_flow.hpp"
#include "velmora/platform/secret_mask.hpp"
#include "velmora/base/errors.hpp"
#include "velmora/base/json_text.hpp"

namespace velmora {

namespace {

using velmora::term::Console;

}  // namespace

boost::json::object mask_token_fields(const boost::json::object& response) {
  // Already masked by the credentials component: masking again leaves it as it is.
  return velmora::platform::mask_json(boost::json::value(response)).as_object();
}

int run_login_command(velmora::oauth::Credentials& credentials, Console& console, bool debug) {
  const std::string base_url = credentials.resolve_oauth_base_url();
  const std::string client_id = credentials.resolve_oauth_client_id();

  velmora::oauth::LoginFlowOptions options;
  options.oauth_base_url = base_url;
  options.client_id = client_id;
  options.on_authorize_url = [&console](const std::string& url) {
    console.print("[bold]Opening browser for login…[/bold]");
    console.print("If the browser did not open, copy this URL:\n[link]" + Console::escape(url) +
                  "[/link]");
  };
  if (debug) {
    options.on_poll_response = [&console](const boost::json::object& response) {
      console.print("[dim]poll response: " +
                    Console::escape(velmora::base::json_dumps(mask_token_fields(response))) + "[/dim]");
    };
  }

  velmora::oauth::LoginResult result;
  try {
    result = credentials.run_login_flow(options);
  } catch (const velmora::base::RuntimeError& e) {
    console.print("[red]Login failed:[/red] " + Console::escape(e.what()));
    return 1;
  }

  std::optional<std::string> user_id;
  try {
    user_id = credentials.fetch_user_id_from_token(base_url, result.tokens.access_token);
  } catch (const std::exception&) {
    // The tokens are saved; not knowing whose they are yet must not fail the login.
    user_id.reset();
  }
  std::string line = "[green]Login successful![/green]";
  if (user_id && !user_id->empty()) line += "  user_id=" + Console::escape(*user_id);
  console.print(line);
  return 0;
}

int run_logout_command(velmora::oauth::Credentials& credentials, Console& console) {
  if (credentials.clear_saved_tokens()) {
    console.print("[green]Logged out successfully.[/green] Saved tokens have been removed.");
  } else {
    console.print("[dim]No saved tokens found — already logged out.[/dim]");
  }
  return 0;
}

}  // namespace velmora
