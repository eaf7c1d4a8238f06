#include "velmora/dotenv_trust.hpp"

#include <unistd.h>

#include <algorithm>
#include <iostream>
#include <utility>

#include <boost/json/parse.hpp>

#include "velmora/base/errors.hpp"
#include "velmora/base/json_text.hpp"
#include "velmora/cli_errors.hpp"
#include "velmora/platform/files.hpp"
#include "velmora/platform/paths.hpp"
#include "velmora/strip.hpp"
#include "velmora/term/text_width.hpp"

namespace velmora {

namespace {

constexpr int FORMAT_VERSION = 1;

}  // namespace

std::string describe_settings(const std::vector<DotenvSetting>& settings) {
  std::string out;
  for (std::size_t i = 0; i < settings.size(); ++i) {
    if (i > 0) out += i + 1 == settings.size() ? " and " : ", ";
    out += settings[i].variable + "=" + settings[i].value;
  }
  return out;
}

bool confirm_on_terminal(const std::string& question) {
  std::cout.flush();
  std::cerr << question << std::flush;
  std::string answer;
  if (!std::getline(std::cin, answer)) {
    std::cerr << "\n";
    return false;
  }
  const std::string word = velmora::term::unicode_lower(strip(answer));
  return word == "y" || word == "yes";
}

bool terminal_can_confirm() { return ::isatty(STDIN_FILENO) == 1 && ::isatty(STDERR_FILENO) == 1; }

DotenvTrustStore::DotenvTrustStore(std::filesystem::path file,
                                   std::function<void(const std::string&)> warn)
    : file_(std::move(file)), warn_(std::move(warn)) {}

std::filesystem::path DotenvTrustStore::default_location() {
  return velmora::platform::xdg_state_home() / "velmora" / "dotenv_trust.json";
}

std::vector<DotenvTrustStore::Entry>& DotenvTrustStore::entries() {
  if (entries_) return *entries_;
  entries_.emplace();
  std::optional<std::string> text;
  try {
    text = velmora::platform::read_file_if_exists(file_);
  } catch (const velmora::base::Error& e) {
    if (warn_)
      warn_("Could not read " + file_.string() + " (" + e.what() + "); no .env file is trusted.");
    return *entries_;
  }
  if (!text) return *entries_;
  // Anything short of the whole expected shape trusts nothing: a half-read list must not
  // trust a file the user never answered for.
  std::vector<Entry> read;
  boost::system::error_code ec;
  const auto value = boost::json::parse(*text, ec);
  bool sound = !ec && value.is_object();
  const boost::json::array* list = nullptr;
  if (sound) {
    const auto* version = value.as_object().if_contains("version");
    const auto* trusted = value.as_object().if_contains("trusted");
    sound = version != nullptr && version->is_int64() && version->as_int64() == FORMAT_VERSION &&
            trusted != nullptr && trusted->is_array();
    if (sound) list = &trusted->as_array();
  }
  for (std::size_t i = 0; sound && i < list->size(); ++i) {
    const auto* item = (*list)[i].if_object();
    const auto* path = item ? item->if_contains("file") : nullptr;
    const auto* settings = item ? item->if_contains("settings") : nullptr;
    if (!path || !path->is_string() || !settings || !settings->is_object()) {
      sound = false;
      break;
    }
    Entry entry{std::string(path->as_string()), {}};
    for (const auto& setting : settings->as_object()) {
      if (!setting.value().is_string()) {
        sound = false;
        break;
      }
      entry.settings.push_back(
          {std::string(setting.key()), std::string(setting.value().as_string())});
    }
    read.push_back(std::move(entry));
  }
  if (!sound) {
    if (warn_)
      warn_(file_.string() + " is damaged; no .env file is trusted until you answer again.");
    return *entries_;
  }
  *entries_ = std::move(read);
  return *entries_;
}

bool DotenvTrustStore::trusts(const DotenvEndpoints& endpoints) {
  const std::string file = endpoints.file.string();
  for (const auto& entry : entries()) {
    if (entry.file != file) continue;
    // Trusting some endpoints of a file trusts each of them with the value it had then.
    return std::all_of(endpoints.settings.begin(), endpoints.settings.end(),
                       [&](const DotenvSetting& setting) {
                         return std::find(entry.settings.begin(), entry.settings.end(), setting) !=
                                entry.settings.end();
                       });
  }
  return false;
}

void DotenvTrustStore::trust(const DotenvEndpoints& endpoints) {
  auto& list = entries();
  const std::string file = endpoints.file.string();
  auto entry = std::find_if(list.begin(), list.end(),
                            [&](const Entry& candidate) { return candidate.file == file; });
  if (entry == list.end()) entry = list.insert(list.end(), Entry{file, {}});
  for (const auto& setting : endpoints.settings) {
    std::erase_if(entry->settings,
                  [&](const DotenvSetting& old) { return old.variable == setting.variable; });
    entry->settings.push_back(setting);
  }

  boost::json::array trusted;
  for (const auto& entry : list) {
    boost::json::object settings;
    for (const auto& setting : entry.settings) settings[setting.variable] = setting.value;
    trusted.push_back(boost::json::object{{"file", entry.file}, {"settings", std::move(settings)}});
  }
  const boost::json::object document{{"version", FORMAT_VERSION}, {"trusted", std::move(trusted)}};
  try {
    velmora::platform::write_file_atomic(file_, velmora::base::json_dumps(document) + "\n", 0600);
  } catch (const velmora::base::Error& e) {
    if (warn_) {
      warn_("Could not remember the answer in " + file_.string() + " (" + e.what() +
            "); it holds for this run only.");
    }
  }
}

}  // namespace velmora
