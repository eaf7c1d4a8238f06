// Choosing a saved session to resume: the searchable panel where the terminal allows it,
// otherwise a numbered list and a plain prompt.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "velmora/base/async.hpp"
#include "velmora/prompt_ask.hpp"
#include "velmora/session_store/session_store.hpp"
#include "velmora/term/console.hpp"

namespace velmora {

/// Sessions of this endpoint and user (any, when there are none), up to 20, newest first.
/// The chosen thread id, or nothing (no sessions, cancelled, or a reply that names none).
/// Store errors propagate.
velmora::base::awaitable<std::optional<std::string>> pick_saved_session(
    std::shared_ptr<velmora::term::Console> console,
    velmora::session_store::SessionStore& session_store, std::optional<std::string> endpoint,
    std::optional<std::string> user_id, BlockingLineReader reader = {});

}  // namespace velmora
