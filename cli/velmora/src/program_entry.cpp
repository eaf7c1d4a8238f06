#include "velmora/program_entry.hpp"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <optional>
#include <vector>

#include "velmora/account_commands.hpp"
#include "velmora/base/errors.hpp"
#include "velmora/dotenv.hpp"
#include "velmora/dotenv_trust.hpp"
#include "velmora/oauth/device_flow.hpp"
#include "velmora/options.hpp"
#include "velmora/platform/env.hpp"
#include "velmora/program_exit.hpp"
#include "velmora/session.hpp"
#include "velmora/strip.hpp"
#include "velmora/term/text_width.hpp"
#include "velmora/terminal_mode.hpp"

namespace velmora {

namespace {

using velmora::term::Console;

#ifdef SIGPIPE
void ignore_signal(int) {}
#endif

// A reader that goes away (`velmora ... | head`) must surface as a failed write, not kill us
// before the session closes. A handler rather than SIG_IGN: children started later (browser,
// git, the installer) get the default back on exec.
void survive_closed_pipes() {
#ifdef SIGPIPE
  struct sigaction action {};
  action.sa_handler = ignore_signal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  (void)::sigaction(SIGPIPE, &action, nullptr);
#endif
}

void report(const std::string& line) noexcept {
  std::cout.flush();
  std::fputs(line.c_str(), stderr);
  std::fputc('\n', stderr);
  std::fflush(stderr);
}

/// The OAuth base a `.env` file chose for a login, unless the user trusts that file.
std::optional<DotenvEndpoints> untrusted_login_base(const std::vector<DotenvEntry>& from_file,
                                                    const std::filesystem::path& file,
                                                    velmora::oauth::Credentials& credentials) {
  const auto base = velmora::platform::get_env("VELMORA_OAUTH_BASE_URL");
  const bool chosen = base && !strip(*base).empty() &&
                      std::any_of(from_file.begin(), from_file.end(), [](const DotenvEntry& entry) {
                        return entry.key == "VELMORA_OAUTH_BASE_URL";
                      });
  if (!chosen) return std::nullopt;
  std::error_code ec;
  const auto absolute = std::filesystem::absolute(file, ec);
  DotenvEndpoints endpoints{ec ? file : absolute.lexically_normal(),
                            {{"VELMORA_OAUTH_BASE_URL", credentials.resolve_oauth_base_url()}}};
  DotenvTrustStore store(DotenvTrustStore::default_location(), [](const std::string& warning) {
    std::cerr << "Warning: " << velmora::term::printable_text(warning) << "\n";
  });
  if (store.trusts(endpoints)) return std::nullopt;
  return endpoints;
}

}  // namespace

int handle_login_command(bool debug) {
  const std::filesystem::path file = ".env";
  const auto from_file = load_dotenv(file);
  const auto console = build_console(/*plain_output=*/false);
  const auto credentials =
      velmora::oauth::make_credentials(velmora::oauth::system_flow_hooks(debug));
  // A login started at a server the folder chose would hand that server the user's sign-in.
  if (const auto untrusted = untrusted_login_base(from_file, file, *credentials)) {
    console->print("[red]Login failed:[/red] " +
                   Console::escape(untrusted->file.string() + " sets " +
                                   describe_settings(untrusted->settings) +
                                   ": a login is not started there until you trust that file. "
                                   "Run velmora in a terminal in this folder and answer y to "
                                   "trust it, or set VELMORA_OAUTH_BASE_URL in the environment."));
    return 1;
  }
  return run_login_command(*credentials, *console, debug);
}

int handle_logout_command(bool debug) {
  const auto console = build_console(/*plain_output=*/false);
  const auto credentials =
      velmora::oauth::make_credentials(velmora::oauth::system_flow_hooks(debug));
  return run_logout_command(*credentials, *console);
}

int program_main(int argc, const char* const* argv) noexcept {
  try {
    survive_closed_pipes();
    initialize_console_runtime();
    const Options args = parse_args(argc, argv);
    if (args.command == "login") return handle_login_command(args.debug);
    if (args.command == "logout") return handle_logout_command(args.debug);
    return run_cli(args);
  } catch (const ProgramExit& exit) {
    std::cout.flush();
    return exit.status();
  } catch (const std::exception& error) {
    report(escaped_error_line(error));
    return 1;
  } catch (...) {
    report("velmora: unexpected error");
    return 1;
  }
}

}  // namespace velmora
