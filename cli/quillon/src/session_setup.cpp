#include "quillon/session_setup.hpp"

#include <algorithm>
#include <utility>

#include "quillon/cli_errors.hpp"
#include "quillon/self_upgrade.hpp"
#include "quillon/slash_commands.hpp"
#include "quillon/terminal_mode.hpp"

namespace quillon {

namespace {

using velmora::renderer::RendererOptions;
using velmora::renderer::StreamRenderer;
using velmora::term::Console;

bool is_one_shot_query(const Options& args) { return clean_optional_str(args.query).has_value(); }

std::unique_ptr<StreamRenderer> make_renderer(const SessionSetupDeps& deps,
                                              std::shared_ptr<Console> console, bool plain_output,
                                              bool sticky_collection_plan_live) {
  RendererOptions options;
  options.console = std::move(console);
  options.plain_output = plain_output;
  options.render_profile = resolve_render_profile(plain_output);
  options.sticky_collection_plan_live = sticky_collection_plan_live;
  options.executor = deps.executor;
  options.live_display = deps.live_display;
  options.help_entries = slash_command_help_rows();
  options.version = deps.version;
  options.workspace_cwd = deps.workspace_cwd;
  options.workspace_branch = deps.workspace_branch;
  return std::make_unique<StreamRenderer>(std::move(options));
}

void render_failure(StreamRenderer& renderer, const std::exception& error, bool debug) {
  const auto info = classify_cli_error(error);
  renderer.render_invocation_error(info.summary, info.hint, info.detail, debug);
}

}  // namespace

SetupOutcome prepare_session(const Options& args, SessionSetupDeps deps) {
  if (!deps.make_console) deps.make_console = [](bool plain) { return build_console(plain); };
  if (!deps.runtime.login_console) {
    deps.runtime.login_console = [make = deps.make_console] { return make(false); };
  }
  if (!deps.self_upgrade) {
    deps.self_upgrade = [](const std::string& url, Console& console) {
      self_upgrade(url, console);
    };
  }
  if (!deps.credentials) deps.credentials = velmora::oauth::make_credentials();

  SessionSetup s;
  s.credentials = deps.credentials;
  s.system_prompt = args.system_prompt;

  // Bootstrap output from the options alone: the configuration may still fail to load.
  s.use_prompt_shell = should_use_prompt_shell(args);
  const bool bootstrap_plain_output = should_use_plain_output(args, std::nullopt);
  s.console = deps.make_console(bootstrap_plain_output);
  s.renderer = make_renderer(deps, s.console, bootstrap_plain_output, false);

  try {
    s.cfg = load_runtime_defaults(args, *deps.credentials, deps.runtime);
  } catch (const std::exception& e) {
    render_failure(*s.renderer, e, args.debug);
    return {std::nullopt, 1};
  }

  // The configuration object may say a chat gateway runs us: decide the modes again.
  s.non_interactive = should_use_non_interactive(args, s.cfg.config_payload);
  s.plain_output = should_use_plain_output(args, s.cfg.config_payload);
  s.show_shell_banner = !s.non_interactive && !is_one_shot_query(args);
  s.idle_finish_seconds = std::max(0.0, args.idle_finish_seconds.value_or(0.0));
  if (s.plain_output != bootstrap_plain_output) s.console = deps.make_console(s.plain_output);
  s.renderer =
      make_renderer(deps, s.console, s.plain_output, s.show_shell_banner && s.use_prompt_shell);

  if (args.upgrade) {
    try {
      deps.self_upgrade(s.cfg.wheel_server_url, *s.console);
    } catch (const std::exception& e) {
      s.renderer->render_invocation_error(
          "Upgrade failed.", "Check the wheel server URL and network connectivity, then retry.",
          wirelet::error_text_or_kind(e), args.debug);
      return {std::nullopt, 1};
    }
    return {std::nullopt, 0};
  }

  try {
    validate_runtime_contract(s.cfg);
  } catch (const std::exception& e) {
    render_failure(*s.renderer, e, args.debug);
    return {std::nullopt, 1};
  }
  s.hide_session_details = should_hide_session_details(args, s.cfg.config_payload);
  return {std::move(s), 0};
}

}  // namespace quillon
