#include "quillon/session.hpp"

#include "quillon/session_setup.hpp"

namespace quillon {

int run_cli(const Options& args) {
  auto outcome = prepare_session(args);
  if (!outcome.setup) return outcome.exit_status;
  // Connecting and running turns come with the session driver; say so rather than pretend.
  outcome.setup->renderer->render_invocation_error(
      "Interactive and one-shot sessions are not implemented in this build.",
      "Use `velmora login`, `velmora logout` or `--upgrade` for now.", std::nullopt, args.debug);
  return 1;
}

}  // namespace quillon
