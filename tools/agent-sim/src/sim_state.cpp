#include "sim_state.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>

#include <boost/json/parse.hpp>

#include "velmora/base/errors.hpp"
#include "velmora/base/json_text.hpp"

namespace velmora::agent_sim {

SimState::SimState(SimOptions opts, std::optional<Script> scr)
    : options(std::move(opts)),
      script(std::move(scr)),
      threads(options.history_limit),
      credentials(options.credentials) {
  if (script) picker.emplace(*script);
  if (options.record) recorder = Recorder(*options.record);
  if (options.state_file) load_state_file(*options.state_file, threads, credentials);
  // What was just loaded is already on disk.
  (void)threads.take_dirty();
  (void)credentials.take_dirty();
}

void SimState::save_if_changed() {
  if (!options.state_file) return;
  const bool threads_changed = threads.take_dirty();
  const bool credentials_changed = credentials.take_dirty();
  if (!threads_changed && !credentials_changed) return;
  try {
    save_state_file(*options.state_file, threads, credentials);
  } catch (const velmora::base::Error& e) {
    std::cerr << "velmora-agent-sim: " << e.what() << '\n';
    // The next save retries the write.
    threads.mark_dirty();
  }
}

void load_state_file(const std::filesystem::path& path, ThreadStore& threads,
                     CredentialsState& credentials) {
  std::error_code ec;
  if (!std::filesystem::exists(path, ec)) return;
  std::ifstream in(path, std::ios::binary);
  if (!in) throw velmora::base::RuntimeError("cannot read state file " + path.string());
  std::stringstream text;
  text << in.rdbuf();
  boost::system::error_code parse_error;
  const auto document = boost::json::parse(text.str(), parse_error);
  const auto* root = parse_error ? nullptr : document.if_object();
  if (root == nullptr) {
    throw velmora::base::RuntimeError("state file " + path.string() +
                                      " is not a JSON object; move it away or fix it");
  }
  try {
    if (const auto* saved = root->if_contains("threads")) {
      if (!saved->is_object()) throw velmora::base::RuntimeError("threads is not an object");
      threads.load_json(saved->get_object());
    }
    if (const auto* saved = root->if_contains("credentials")) {
      if (!saved->is_object()) throw velmora::base::RuntimeError("credentials is not an object");
      credentials.load_json(saved->get_object());
    }
  } catch (const velmora::base::RuntimeError& e) {
    throw velmora::base::RuntimeError("state file " + path.string() + ": " + e.what());
  }
}

void save_state_file(const std::filesystem::path& path, const ThreadStore& threads,
                     const CredentialsState& credentials) {
  const boost::json::object root{
      {"version", 1}, {"threads", threads.to_json()}, {"credentials", credentials.to_json()}};
  const std::string text = velmora::base::json_dumps(root) + "\n";
  auto temp = path;
  temp += ".tmp-" + std::to_string(::getpid());
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    out << text;
    out.flush();
    if (!out) {
      const int err = errno;
      out.close();
      std::remove(temp.c_str());
      throw velmora::base::OSError(
          "cannot write state file " + temp.string() + ": " + std::strerror(err), err);
    }
  }
  if (std::rename(temp.c_str(), path.c_str()) != 0) {
    const int err = errno;
    std::remove(temp.c_str());
    throw velmora::base::OSError(
        "cannot replace state file " + path.string() + ": " + std::strerror(err), err);
  }
}

}  // namespace velmora::agent_sim
