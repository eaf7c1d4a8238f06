#include <algorithm>

#include "velmora/ask_prompt.hpp"
#include "velmora/events/text_clean.hpp"
#include "velmora/json_values.hpp"
#include "velmora/strip.hpp"
#include "velmora/term/text_width.hpp"

namespace velmora {
namespace json = boost::json;

std::pair<std::string, std::vector<std::string>> read_ask_question(const json::value& question) {
  std::pair<std::string, std::vector<std::string>> out;
  const auto* map = question.if_object();
  if (map == nullptr) return out;
  out.first = truthy_text(map->if_contains("question"));
  const auto* options = map->if_contains("options");
  if (options == nullptr || !options->is_array()) return out;
  for (const auto& option : options->get_array()) {
    const auto* option_map = option.if_object();
    if (option_map == nullptr) continue;
    std::string label = truthy_text(option_map->if_contains("label"));
    if (!label.empty()) out.second.push_back(std::move(label));
  }
  return out;
}

AskPromptNavigator::AskPromptNavigator(const velmora::events::AskPromptRequest& request,
                                       std::string default_freeform_answer)
    : message_id_(request.message_id),
      default_freeform_answer_(std::move(default_freeform_answer)) {
  for (const auto& question : request.questions) {
    auto [text, labels] = read_ask_question(question);
    questions_.push_back(
        AskPromptQuestionState{.question_text = std::move(text), .labels = std::move(labels)});
  }
  custom_mode_ = !questions_.empty() && questions_.front().labels.empty();
}

const AskPromptQuestionState* AskPromptNavigator::current() const noexcept {
  if (questions_.empty()) return nullptr;
  return &questions_[static_cast<std::size_t>(current_index_)];
}

AskPromptQuestionState* AskPromptNavigator::current_mutable() noexcept {
  if (questions_.empty()) return nullptr;
  return &questions_[static_cast<std::size_t>(current_index_)];
}

namespace {

int wrap_index(int index, int count) { return ((index % count) + count) % count; }

// Rows of the panel around its questions and options: the frame, the title, the hints, the
// tabs and the blank lines between them.
constexpr int PANEL_CHROME_ROWS = 10;

// `text` as far as it fits in `rows` rows of `width` columns once wrapped, the first row
// starting at column `indent`; "…" marks a cut.
std::string clip_to_rows(const std::string& text, int width, int rows, int indent) {
  int row = 0;
  int column = indent;
  std::size_t last_fit = 0;  // where the text is cut so that "…" still fits
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t next = velmora::term::next_grapheme(text, at);
    const std::string_view cluster(text.data() + at, next - at);
    if (cluster == "\n") {
      ++row;
      column = 0;
    } else {
      const int w = velmora::term::cluster_width(cluster);
      if (column + w > width) {
        ++row;
        column = 0;
      }
      column += w;
    }
    if (row >= rows) return text.substr(0, last_fit) + "…";
    if (row < rows - 1 || column < width) last_fit = next;
    at = next;
  }
  return text;
}

}  // namespace

void AskPromptNavigator::move_question(int delta) {
  if (questions_.empty()) return;
  current_index_ = wrap_index(current_index_ + delta, static_cast<int>(questions_.size()));
  const auto* q = current();
  custom_mode_ = q->use_custom_text || q->labels.empty();
}

void AskPromptNavigator::move_option(int delta) {
  auto* q = current_mutable();
  if (custom_mode_ || q == nullptr || q->labels.empty()) return;
  q->selected_index = wrap_index(q->selected_index + delta, static_cast<int>(q->labels.size()));
}

void AskPromptNavigator::toggle_custom_mode() {
  auto* q = current_mutable();
  if (q == nullptr) return;
  if (q->labels.empty()) {
    custom_mode_ = true;
    return;
  }
  custom_mode_ = !custom_mode_;
  // Leaving the editor puts the question back on its option; the typed text is kept.
  if (!custom_mode_ && q->use_custom_text) q->use_custom_text = false;
}

void AskPromptNavigator::append_custom_text(std::string_view text) {
  auto* q = current_mutable();
  if (q == nullptr) return;
  custom_mode_ = true;
  q->custom_text.append(text);
}

void AskPromptNavigator::backspace_custom_text() {
  auto* q = current_mutable();
  if (!custom_mode_ || q == nullptr || q->custom_text.empty()) return;
  q->custom_text.erase(velmora::term::prev_grapheme(q->custom_text, q->custom_text.size()));
}

void AskPromptNavigator::cancel_custom_mode() {
  const auto* q = current();
  if (q == nullptr || q->labels.empty()) return;
  custom_mode_ = false;
}

std::optional<AskAnswers> AskPromptNavigator::accept_current() {
  auto* q = current_mutable();
  // Nothing to ask: the (empty) answers are complete.
  if (q == nullptr) return answers();
  if (custom_mode_) {
    q->use_custom_text = true;
  } else if (!q->labels.empty()) {
    q->use_custom_text = false;
  }
  q->answered = true;
  const auto next = next_unanswered_index(current_index_ + 1);
  if (!next) return answers();
  current_index_ = *next;
  const auto* moved = current();
  custom_mode_ = moved->use_custom_text || moved->labels.empty();
  return std::nullopt;
}

AskAnswers AskPromptNavigator::answers() const {
  AskAnswers out;
  for (const auto& q : questions_) {
    if (q.question_text.empty()) continue;
    out[q.question_text] = resolved_answer(q);
  }
  return out;
}

std::string AskPromptNavigator::resolved_answer(const AskPromptQuestionState& question) const {
  if (question.use_custom_text || question.labels.empty()) {
    std::string text = strip(question.custom_text);
    return text.empty() ? default_freeform_answer_ : text;
  }
  return question.labels[static_cast<std::size_t>(question.selected_index)];
}

std::optional<int> AskPromptNavigator::next_unanswered_index(int start) const {
  const int count = static_cast<int>(questions_.size());
  for (int offset = 0; offset < count; ++offset) {
    const int index = wrap_index(start + offset, count);
    if (!questions_[static_cast<std::size_t>(index)].answered) return index;
  }
  return std::nullopt;
}

velmora::term::Fragments AskPromptNavigator::render_fragments(int width, int height) const {
  velmora::term::Fragments out;
  const auto* q = current();
  if (q == nullptr) return {{"", "No questions."}};
  // On a known screen every option keeps a row; the question may take half of what is left,
  // and each label a share of the other half.
  const int inner = width - 2;
  const int options = static_cast<int>(q->labels.size());
  const int spare = std::max(0, height - PANEL_CHROME_ROWS - options - (custom_mode_ ? 2 : 0));
  const auto shown = [&](const std::string& text, int rows, int indent) {
    return width > 2 && height > 0 ? clip_to_rows(text, inner, rows, indent) : text;
  };
  out.push_back({"class:ask-title",
                 "Need input · " +
                     shown(velmora::events::clean_line(json_to_text(
                               message_id_ ? json::value(*message_id_) : json::value(nullptr))),
                           1, 13) +
                     "\n"});
  out.push_back({"class:ask-hint",
                 "Use ↑↓ to choose • ←→ to switch • Enter to confirm • Tab custom answer\n\n"});
  for (std::size_t i = 0; i < questions_.size(); ++i) {
    const bool is_current = static_cast<int>(i) == current_index_;
    const char* mark = questions_[i].answered ? "✓" : (is_current ? "●" : "○");
    out.push_back({is_current ? "class:ask-tab-current" : "class:ask-tab",
                   std::string(" ") + mark + " Q" + std::to_string(i + 1) + " "});
  }
  out.push_back({"", "\n\n"});
  // The texts are kept as received for the answer map; only what is shown is cleaned.
  out.push_back({"class:ask-question",
                 shown(velmora::events::clean_text(q->question_text), 1 + spare / 2, 0) + "\n"});
  if (!q->labels.empty()) {
    for (std::size_t i = 0; i < q->labels.size(); ++i) {
      const bool selected = static_cast<int>(i) == q->selected_index && !custom_mode_;
      out.push_back({selected ? "class:ask-option-selected" : "class:ask-option",
                     std::string(" ") + (selected ? "❯" : " ") + " " + (selected ? "◉" : "○") +
                         " " +
                         shown(velmora::events::clean_line(q->labels[i]),
                               1 + spare / 2 / std::max(options, 1), 5) +
                         "\n"});
    }
  } else {
    out.push_back({"class:ask-hint", " Free-form answer required\n"});
  }
  if (custom_mode_) {
    out.push_back({"", "\n"});
    out.push_back({"class:ask-custom-label", "Custom answer: "});
    out.push_back({"class:ask-custom-text", q->custom_text});
    out.push_back({"class:ask-custom-cursor", "▌"});
    out.push_back({"", "\n"});
  } else if (!q->labels.empty()) {
    out.push_back({"", "\n"});
    out.push_back({"class:ask-hint", "Tab to type a custom answer for this question\n"});
  }
  return out;
}

}  // namespace velmora
