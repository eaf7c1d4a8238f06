#include <cctype>
#include <sstream>

#include "velmora/shell_docs/shell_docs.hpp"

namespace velmora::shell_docs {

namespace {

std::string upper(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return out;
}

// "\fB\-h\fR, \fB\-\-help\fR \fITEXT\fR"
std::string option_term(const OptionDoc& option) {
  std::string out;
  auto add = [&](const std::string& spelling) {
    if (!out.empty()) out += ", ";
    out += "\\fB" + roff_escape(spelling) + "\\fR";
  };
  for (const auto& name : option.short_names) add("-" + name);
  for (const auto& name : option.long_names) add("--" + name);
  if (!option.value_name.empty()) out += " \\fI" + roff_escape(option.value_name) + "\\fR";
  return out;
}

void option_list(std::ostream& out, const std::vector<OptionDoc>& options) {
  for (const auto& option : options) {
    out << ".TP\n" << option_term(option) << "\n" << roff_escape(option.help) << "\n";
  }
}

// The whatis line takes the description without its closing full stop.
std::string summary(std::string_view description) {
  if (!description.empty() && description.back() == '.') description.remove_suffix(1);
  return roff_escape(description);
}

}  // namespace

std::string roff_escape(std::string_view text) {
  std::string out;
  bool line_start = true;
  for (char c : text) {
    if (line_start && (c == '.' || c == '\'')) out += "\\&";
    switch (c) {
      case '\\':
        out += "\\e";
        break;
      case '-':
        out += "\\-";
        break;
      default:
        out += c;
    }
    line_start = c == '\n';
  }
  return out;
}

std::string man_page(const ProgramDoc& doc, const std::vector<ManSection>& extra) {
  std::ostringstream out;
  const std::string name = roff_escape(doc.name);
  out << ".\\\" " << name << "(1): generated from the program's option parser, do not edit.\n"
      << ".TH " << upper(name) << " 1 \"\" \"" << name << " " << roff_escape(doc.version)
      << "\" \"User Commands\"\n"
      << ".SH NAME\n"
      << name << " \\- " << summary(doc.description) << "\n"
      << ".SH SYNOPSIS\n";
  bool first = true;
  auto synopsis = [&](const std::string& command, bool takes_options) {
    if (!first) out << ".br\n";
    first = false;
    out << ".B " << name << (command.empty() ? "" : " " + roff_escape(command)) << "\n";
    if (takes_options) out << "[\\fIOPTIONS\\fR]\n";
  };
  synopsis("", true);
  for (const auto& command : doc.commands) {
    // A command whose only option is --help takes nothing worth a synopsis.
    synopsis(command.name, command.options.size() > 1);
  }
  out << ".SH DESCRIPTION\n" << roff_escape(doc.description) << "\n";
  if (!doc.commands.empty()) {
    out << ".SH COMMANDS\n";
    for (const auto& command : doc.commands) {
      out << ".TP\n\\fB" << roff_escape(command.name) << "\\fR\n"
          << roff_escape(command.help) << "\n";
    }
  }
  out << ".SH OPTIONS\n";
  option_list(out, doc.options);
  for (const auto& command : doc.commands) {
    std::vector<OptionDoc> own;
    for (const auto& option : command.options) {
      bool shared = false;
      for (const auto& top : doc.options) shared = shared || top.long_names == option.long_names;
      if (!shared) own.push_back(option);
    }
    if (own.empty()) continue;
    out << ".SS \"" << roff_escape(command.name) << " options\"\n";
    option_list(out, own);
  }
  for (const auto& section : extra) {
    out << ".SH " << upper(roff_escape(section.title)) << "\n";
    for (const auto& item : section.items) {
      if (item.term.empty()) {
        out << ".PP\n" << roff_escape(item.text) << "\n";
      } else {
        out << ".TP\n\\fB" << roff_escape(item.term) << "\\fR\n" << roff_escape(item.text) << "\n";
      }
    }
  }
  return out.str();
}

}  // namespace velmora::shell_docs
