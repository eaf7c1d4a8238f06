// The interactive shell's start-up banner and the workspace facts saved with a session.
#pragma once

#include <filesystem>

#include "velmora/options.hpp"
#include "velmora/renderer/stream_renderer.hpp"

namespace velmora {

/// The banner belongs to the interactive shell: never for one-shot or non-interactive runs.
[[nodiscard]] bool should_render_shell_banner(const Options& args, bool non_interactive);

/// Draws the banner when `show_banner` holds (the thread id may still be unknown).
inline void render_shell_banner(velmora::renderer::StreamRenderer& renderer, bool show_banner,
                                const velmora::renderer::BannerInfo& info) {
  if (show_banner) renderer.render_banner(info);
}

/// The checked-out branch of `cwd` ("HEAD" when detached), or "-" outside a repository, without
/// git, or after two seconds. Blocks its caller.
[[nodiscard]] std::string detect_git_branch(const std::filesystem::path& cwd);

}  // namespace velmora
