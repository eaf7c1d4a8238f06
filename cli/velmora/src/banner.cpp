#include "velmora/banner.hpp"

#include <cstdlib>
#include <exception>
#include <system_error>

#include "velmora/completion_wait.hpp"
#include "velmora/strip.hpp"
#include "velmora/platform/process.hpp"

namespace velmora {

bool should_render_shell_banner(const Options& args, bool non_interactive) {
  return !non_interactive && !is_one_shot_query(args);
}

namespace {

namespace fs = std::filesystem;

// Whether git could find a repository from `cwd`: GIT_DIR names one, or the folder or one above
// it holds `.git` or is a bare repository (HEAD, objects/, refs/). Outside one, starting git only
// to hear "not a git repository" cost a one-shot run more CPU time than all the rest of its
// start-up. When in doubt (a folder that cannot be read), git decides.
bool may_be_in_repository(const fs::path& cwd) {
  if (std::getenv("GIT_DIR") != nullptr) return true;
  std::error_code ec;
  fs::path dir = fs::absolute(cwd, ec);
  if (ec) return true;
  const auto present = [&ec](const fs::path& path) {
    const bool exists = fs::exists(path, ec);
    return exists ||
           (ec && ec != std::errc::no_such_file_or_directory && ec != std::errc::not_a_directory);
  };
  while (true) {
    if (present(dir / ".git")) return true;
    if (present(dir / "HEAD") && present(dir / "objects") && present(dir / "refs")) return true;
    if (!dir.has_relative_path()) return false;
    dir = dir.parent_path();
  }
}

}  // namespace

std::string detect_git_branch(const std::filesystem::path& cwd) {
  if (!may_be_in_repository(cwd)) return "-";
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
