#include "velmora/events/answer_texts.hpp"

namespace velmora::events {

void add_answer_text(AnswerTexts& texts, const std::string& key, const std::string& text,
                     bool whole) {
  // The latest entry of the key: a key seen again after others began is still the same message.
  for (auto it = texts.rbegin(); it != texts.rend(); ++it) {
    if (it->first != key) continue;
    if (whole) {
      it->second = text;
    } else {
      it->second += text;
    }
    return;
  }
  texts.emplace_back(key, text);
}

}  // namespace velmora::events
