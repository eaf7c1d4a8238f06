// velmora-shell-docs OUT_DIR: writes velmora.bash, _velmora, velmora.fish and velmora.1 for the
// program's option parser. Run by the build; the files are installed with the program.
#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>

#include "velmora/options.hpp"
#include "velmora/shell_docs/shell_docs.hpp"

namespace {

using velmora::shell_docs::ManSection;

// What the parser does not know: where settings and saved state come from, and what the exit
// status means.
std::vector<ManSection> extra_sections() {
  return {
      {"Environment",
       {{"",
         "Settings come from the command line first, then from these variables, then (the "
         "token only) from the saved login. A .env file in the working folder is read first "
         "and never overrides a variable that is already set."},
        {"QUILLON_URL", "Websocket endpoint, as --url."},
        {"VELMORA_AUTH_TOKEN", "Access token, as --token."},
        {"QUILLON_USER_ID", "User id, as --user-id."},
        {"QUILLON_LANGUAGE", "Language code, as --language."},
        {"QUILLON_SCENARIO", "Scenario, as --scenario."},
        {"QUILLON_FILE_API_URL", "Attachment upload base address, as --file-api-url."},
        {"QUILLON_WHEEL_SERVER_URL", "Package server of the self-upgrade, as --wheel-server-url."},
        {"VELMORA_OAUTH_BASE_URL", "Credentials service used by login and token refresh."},
        {"QUILLON_HIDE_SESSION_DETAILS", "1, true, yes or on: as --hide-session-details."},
        {"NO_COLOR", "1, true, yes or on: no colours."}}},
      {"Files",
       {{"$XDG_CONFIG_HOME/velmora/credentials.json",
         "The saved login (mode 0600); ~/.config when XDG_CONFIG_HOME is unset."},
        {"$XDG_STATE_HOME/velmora/sessions.db",
         "Saved sessions; ~/.local/state when XDG_STATE_HOME is unset."}}},
      {"Exit status",
       {{"0", "Normal end, --version, --help, a successful login, logout or --upgrade."},
        {"1", "A failed login, or a configuration, connection, upgrade or attachment failure."},
        {"2", "The command line could not be parsed."}}},
  };
}

bool write(const std::filesystem::path& path, const std::string& text) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file << text;
  file.close();
  if (file) return true;
  std::cerr << "velmora-shell-docs: cannot write " << path.string() << ": " << std::strerror(errno)
            << "\n";
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: velmora-shell-docs OUT_DIR\n";
    return 2;
  }
  namespace docs = velmora::shell_docs;
  const std::filesystem::path out = argv[1];
  std::error_code ec;
  std::filesystem::create_directories(out, ec);
  velmora::Options options;
  const auto doc =
      docs::describe_command_line(*velmora::make_parser(options), velmora::version_text());
  const bool ok = write(out / (doc.name + ".bash"), docs::bash_completion(doc)) &&
                  write(out / ("_" + doc.name), docs::zsh_completion(doc)) &&
                  write(out / (doc.name + ".fish"), docs::fish_completion(doc)) &&
                  write(out / (doc.name + ".1"), docs::man_page(doc, extra_sections()));
  return ok ? 0 : 1;
}
