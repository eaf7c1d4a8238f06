// velmora_store_upsert <database> <name> <count>: saves <count> sessions "<name>-<i>" (each
// with a title) through the real store, as a CLI would. Warnings go to standard error; the exit
// status is 3 when there was one, so a test running many at once sees every failure.
#include <cstdlib>
#include <iostream>
#include <string>

#include "velmora/session_store/session_store.hpp"

int main(int argc, char** argv) {
  if (argc != 4) {
    std::cerr << "usage: velmora_store_upsert <database> <name> <count>\n";
    return 2;
  }
  const std::string name = argv[2];
  const int count = std::atoi(argv[3]);
  bool warned = false;
  velmora::session_store::VelmoraSessionStore store(
      [&](const std::string& warning) {
        warned = true;
        std::cerr << "Warning: " << warning << "\n";
      },
      std::filesystem::path(argv[1]));
  for (int i = 0; i < count; ++i) {
    const std::string thread = name + "-" + std::to_string(i);
    store.upsert_session({.thread_id = thread,
                          .endpoint = "ws://store-race",
                          .user_id = name,
                          .language = "en",
                          .cwd = "/work/" + name,
                          .branch = "main"});
    store.update_conversation(thread, "title of " + thread);
  }
  return warned ? 3 : 0;
}
