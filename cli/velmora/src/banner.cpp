#include "velmora/banner.hpp"

#include <exception>

#include "velmora/completion_wait.hpp"
#include "velmora/strip.hpp"
#include "velmora/platform/process.hpp"

namespace velmora {

bool should_render_shell_banner(const Options& args, bool non_interactive) {
  return !non_interactive && !is_one_shot_query(args);
}

std::string detect_git_branch(const std::filesystem::path& cwd) {
  velmora::platform::CaptureResult result;
  try {
    result = velmora::platform::run_capture({"git", "rev-parse", "--abbrev-ref", "HEAD"},
                                            {.cwd = cwd, .timeout_seconds = 2.0});
  } catch (const std::exception&) {
    // No git, or a folder it cannot start in: the branch is simply unknown.
    return "-";
  }
  if (result.exit_code != 0) return "-";
  std::string branch = strip(result.out);
  return branch.empty() ? "-" : branch;
}

}  // namespace velmora
