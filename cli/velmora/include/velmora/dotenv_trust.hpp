// Trust in `.env` files that choose endpoints.
//
// A `.env` file comes with the folder, and whoever wrote the folder chose its addresses: the
// saved login must not follow them there unless the user said so. The answer is remembered per
// file (absolute path) and per endpoint values, so a file that later points elsewhere is asked
// about again.
//
//   DotenvTrustStore store(DotenvTrustStore::default_location(), warn);
//   if (!store.trusts(chosen)) { ... ask, then store.trust(chosen) ... }
#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace velmora {

/// One endpoint variable a `.env` file set, with the value it gave.
struct DotenvSetting {
  std::string variable;
  std::string value;

  bool operator==(const DotenvSetting&) const = default;
};

/// The endpoints of a run that one `.env` file chose.
struct DotenvEndpoints {
  /// Absolute.
  std::filesystem::path file;
  /// In the order QUILLON_URL, QUILLON_FILE_API_URL, VELMORA_OAUTH_BASE_URL; empty when the
  /// file chose none of them.
  std::vector<DotenvSetting> settings;
};

/// "QUILLON_URL=ws://… and QUILLON_FILE_API_URL=http://…" (values as given; shorten none).
[[nodiscard]] std::string describe_settings(const std::vector<DotenvSetting>& settings);

/// Writes `question` to standard error and reads the answer from standard input: true for
/// "y" or "yes" (any case), false for anything else or the end of input.
[[nodiscard]] bool confirm_on_terminal(const std::string& question);

/// True when someone can answer `confirm_on_terminal`: standard input and error are terminals.
[[nodiscard]] bool terminal_can_confirm();

/// The remembered answers: a JSON file in the state folder, mode 0600, replaced atomically.
class DotenvTrustStore {
 public:
  /// `warn` receives one line when the file cannot be read or is damaged (then nothing is
  /// trusted) or cannot be written.
  explicit DotenvTrustStore(std::filesystem::path file,
                            std::function<void(const std::string&)> warn = {});

  /// $XDG_STATE_HOME/velmora/dotenv_trust.json.
  [[nodiscard]] static std::filesystem::path default_location();

  /// True when the user trusted each of these endpoints of this file, with these values.
  [[nodiscard]] bool trusts(const DotenvEndpoints& endpoints);
  /// Remembers the trust (a variable trusted before with another value takes the new one).
  /// A failure to write is warned about; the trust then holds for this run only.
  void trust(const DotenvEndpoints& endpoints);

 private:
  struct Entry {
    std::string file;
    std::vector<DotenvSetting> settings;
  };
  std::vector<Entry>& entries();

  std::filesystem::path file_;
  std::function<void(const std::string&)> warn_;
  std::optional<std::vector<Entry>> entries_;
};

}  // namespace velmora
