#include "velmora/program_entry.hpp"

#include <csignal>
#include <cstdio>
#include <iostream>

#include "velmora/account_commands.hpp"
#include "velmora/base/errors.hpp"
#include "velmora/dotenv.hpp"
#include "velmora/oauth/device_flow.hpp"
#include "velmora/options.hpp"
#include "velmora/program_exit.hpp"
#include "velmora/session.hpp"
#include "velmora/terminal_mode.hpp"

namespace velmora {

namespace {

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

}  // namespace

int handle_login_command(bool debug) {
  load_dotenv();
  const auto credentials =
      velmora::oauth::make_credentials(velmora::oauth::system_flow_hooks(debug));
  const auto console = build_console(/*plain_output=*/false);
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
