// velmora-agent-sim: the Velmora agent service on loopback, for the demo, tests and benchmarks.
#include <exception>
#include <iostream>

#include "server.hpp"
#include "sim_options.hpp"
#include "turn_script.hpp"
#include "velmora/base/errors.hpp"

int main(int argc, char** argv) {
  using namespace velmora::agent_sim;
  auto parsed = parse_options(argc, argv, std::cout, std::cerr);
  if (!parsed.options) return parsed.exit_code;
  SimOptions options = std::move(*parsed.options);
  std::optional<Script> script;
  if (options.script) {
    try {
      script = load_script(*options.script);
    } catch (const velmora::base::Error& e) {
      std::cerr << "velmora-agent-sim: " << e.what() << '\n';
      return 2;
    }
    // The command line wins over the script.
    options.faults.fill_from(script->faults);
  }
  try {
    return run_server(std::move(options), std::move(script));
  } catch (const std::exception& e) {
    std::cerr << "velmora-agent-sim: " << e.what() << '\n';
    return 1;
  }
}
