// A turn's answer text per answer message, in the order the messages began: deltas append to
// their message's text, a whole block replaces it. What the plain output defers and the JSON
// result reports.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace velmora::events {

using AnswerTexts = std::vector<std::pair<std::string, std::string>>;

/// Adds `text` to message `key`'s entry (replacing it when `whole`), or starts a new entry.
void add_answer_text(AnswerTexts& texts, const std::string& key, const std::string& text,
                     bool whole);

}  // namespace velmora::events
