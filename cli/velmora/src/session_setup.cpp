#include "velmora/session_setup.hpp"

#include <filesystem>
#include <utility>

#include "velmora/banner.hpp"
#include "velmora/cli_errors.hpp"
#include "velmora/completion_wait.hpp"
#include "velmora/dotenv_trust.hpp"
#include "velmora/oauth/device_flow.hpp"
#include "velmora/self_upgrade.hpp"
#include "velmora/slash_commands.hpp"
#include "velmora/terminal_mode.hpp"

namespace velmora {

namespace {

using velmora::renderer::RendererOptions;
using velmora::renderer::StreamRenderer;
using velmora::term::Console;

std::unique_ptr<StreamRenderer> make_renderer(const Options& args, const SessionSetupDeps& deps,
                                              const SessionSetup& s,
                                              std::shared_ptr<Console> console, bool plain_output,
                                              bool sticky_collection_plan_live) {
  RendererOptions options;
  options.debug = args.debug;
  // A one-shot run holds its plain answer for one final write and never shows replayed history.
  options.one_shot = is_one_shot_query(args);
  options.console = std::move(console);
  options.plain_output = plain_output;
  options.render_profile = resolve_render_profile(plain_output);
  options.sticky_collection_plan_live = sticky_collection_plan_live;
  options.executor = deps.executor;
  options.live_display = deps.live_display;
  options.help_entries = slash_command_help_rows();
  options.version = version_text();
  options.workspace_cwd = s.workspace_cwd;
  options.workspace_branch = s.workspace_branch;
  if (const auto report = deps.headless) {
    options.on_invocation_error = [report](std::string_view summary, std::string_view hint,
                                           const std::optional<std::string>& detail) {
      report->error(summary, hint, detail);
    };
  }
  return std::make_unique<StreamRenderer>(std::move(options));
}

std::string current_folder() {
  std::error_code ec;
  auto cwd = std::filesystem::current_path(ec);
  // A deleted working folder must not stop a session; the workspace is only shown and saved.
  return ec ? std::string("-") : cwd.string();
}

void render_failure(StreamRenderer& renderer, const std::exception& error, bool debug,
                    HeadlessReport* report) {
  const auto info = classify_cli_error(error);
  if (report != nullptr) report->expect_error_kind(info.category);
  renderer.render_invocation_error(info.summary, info.hint, info.detail, debug);
}

}  // namespace

SetupOutcome prepare_session(const Options& args, SessionSetupDeps deps) {
  if (deps.headless) {
    // Standard output carries the JSON lines only; what people read goes to standard error.
    deps.make_console = [](bool) {
      return std::make_shared<Console>(velmora::term::ConsoleOptions{.no_color = true},
                                       std::make_shared<velmora::term::FdSink>(2));
    };
    deps.runtime.browser_login = false;
  }
  if (!deps.make_console) deps.make_console = [](bool plain) { return build_console(plain); };
  if (!deps.runtime.login_console) {
    deps.runtime.login_console = [make = deps.make_console] { return make(false); };
  }
  if (!deps.self_upgrade) {
    deps.self_upgrade = [](const std::string& url, Console& console) {
      self_upgrade(url, console);
    };
  }
  if (!deps.credentials) {
    deps.credentials =
        velmora::oauth::make_credentials(velmora::oauth::system_flow_hooks(args.debug));
  }
  // Asked on the terminal before anything else draws there; `--non-interactive` means nobody
  // is there to answer.
  if (!deps.runtime.confirm_dotenv_trust && !args.non_interactive && terminal_can_confirm()) {
    deps.runtime.confirm_dotenv_trust = confirm_on_terminal;
  }

  SessionSetup s;
  s.headless = deps.headless;
  s.credentials = deps.credentials;
  s.system_prompt = args.system_prompt;

  // Bootstrap output from the options alone: the configuration may still fail to load.
  s.use_prompt_shell = should_use_prompt_shell(args);
  const bool bootstrap_plain_output = should_use_plain_output(args, std::nullopt);
  s.console = deps.make_console(bootstrap_plain_output);
  s.renderer = make_renderer(args, deps, s, s.console, bootstrap_plain_output, false);

  try {
    s.cfg = load_runtime_defaults(args, *deps.credentials, deps.runtime);
  } catch (const std::exception& e) {
    render_failure(*s.renderer, e, args.debug, deps.headless.get());
    return {std::nullopt, 1};
  }

  if (s.headless) {
    s.headless->set_session_info({.version = version_text(),
                                  .user_id = s.cfg.user_id,
                                  .language = s.cfg.language,
                                  .scenario = s.cfg.scenario,
                                  .endpoint = s.cfg.url});
  }
  // The configuration object may say a chat gateway runs us: decide the modes again.
  s.non_interactive = should_use_non_interactive(args, s.cfg.config_payload);
  s.plain_output = should_use_plain_output(args, s.cfg.config_payload);
  s.show_shell_banner = should_render_shell_banner(args, s.non_interactive);
  s.idle_finish_seconds = resolve_idle_finish_seconds(args, s.non_interactive);
  if (s.plain_output != bootstrap_plain_output) s.console = deps.make_console(s.plain_output);
  // The banner and the saved session name the workspace; the renderer takes it up front.
  s.workspace_cwd = deps.workspace_cwd ? *deps.workspace_cwd : current_folder();
  s.workspace_branch =
      deps.workspace_branch ? *deps.workspace_branch : detect_git_branch(s.workspace_cwd);
  s.renderer = make_renderer(args, deps, s, s.console, s.plain_output,
                             s.show_shell_banner && s.use_prompt_shell);

  if (args.upgrade) {
    try {
      deps.self_upgrade(s.cfg.wheel_server_url, *s.console);
    } catch (const std::exception& e) {
      s.renderer->render_invocation_error(
          "Upgrade failed.", "Check the wheel server URL and network connectivity, then retry.",
          velmora::base::error_text_or_kind(e), args.debug);
      return {std::nullopt, 1};
    }
    return {std::nullopt, 0};
  }

  try {
    validate_runtime_contract(s.cfg);
  } catch (const std::exception& e) {
    render_failure(*s.renderer, e, args.debug, deps.headless.get());
    return {std::nullopt, 1};
  }
  s.hide_session_details = should_hide_session_details(args, s.cfg.config_payload);
  return {std::move(s), 0};
}

}  // namespace velmora
