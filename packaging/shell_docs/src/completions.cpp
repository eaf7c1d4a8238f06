#include <set>
#include <sstream>

#include "velmora/shell_docs/shell_docs.hpp"

namespace velmora::shell_docs {

namespace {

enum class ValueKind { none, file, file_list, other };

ValueKind value_kind(const OptionDoc& option) {
  if (option.value_name.empty()) return ValueKind::none;
  if (option.value_name == "FILE") return ValueKind::file;
  if (option.value_name == "FILES") return ValueKind::file_list;
  return ValueKind::other;
}

std::vector<std::string> spellings(const OptionDoc& option) {
  std::vector<std::string> words;
  for (const auto& name : option.short_names) words.push_back("-" + name);
  for (const auto& name : option.long_names) words.push_back("--" + name);
  return words;
}

std::string join(const std::vector<std::string>& words, const std::string& separator) {
  std::string out;
  for (const auto& word : words) {
    if (!out.empty()) out += separator;
    out += word;
  }
  return out;
}

// Every spelling of the options of `kind`, at any level, once each.
std::vector<std::string> spellings_of(const ProgramDoc& doc, ValueKind kind) {
  std::vector<std::string> out;
  std::set<std::string> seen;
  auto add = [&](const std::vector<OptionDoc>& options) {
    for (const auto& option : options) {
      if (value_kind(option) != kind) continue;
      for (auto& word : spellings(option)) {
        if (seen.insert(word).second) out.push_back(word);
      }
    }
  };
  add(doc.options);
  for (const auto& command : doc.commands) add(command.options);
  return out;
}

std::vector<std::string> value_spellings(const ProgramDoc& doc) {
  auto out = spellings_of(doc, ValueKind::file);
  for (auto kind : {ValueKind::file_list, ValueKind::other}) {
    auto more = spellings_of(doc, kind);
    out.insert(out.end(), more.begin(), more.end());
  }
  return out;
}

std::vector<std::string> option_words(const std::vector<OptionDoc>& options) {
  std::vector<std::string> words;
  for (const auto& option : options) {
    auto more = spellings(option);
    words.insert(words.end(), more.begin(), more.end());
  }
  return words;
}

std::vector<std::string> command_names(const ProgramDoc& doc) {
  std::vector<std::string> names;
  for (const auto& command : doc.commands) names.push_back(command.name);
  return names;
}

// A case pattern that never matches when there is nothing to match.
std::string pattern(const std::vector<std::string>& words) {
  return words.empty() ? "__velmora_none__" : join(words, "|");
}

std::string single_quoted_sh(std::string_view text) {
  std::string out = "'";
  for (char c : text) {
    if (c == '\'') {
      out += "'\\''";
    } else {
      out += c;
    }
  }
  return out + "'";
}

std::string header(const ProgramDoc& doc, std::string_view shell, std::string_view install) {
  return "# " + std::string(shell) + " completion for " + doc.name + " " + doc.version +
         ": generated from its option parser, do not edit.\n# " + std::string(install) + "\n";
}

// --- zsh ---

std::string zsh_value(const OptionDoc& option) {
  switch (value_kind(option)) {
    case ValueKind::none:
      return "";
    case ValueKind::file:
      return ":" + option.value_name + ":_files";
    case ValueKind::file_list:
      return ":" + option.value_name + ":_sequence -s , _files";
    case ValueKind::other:
      return ":" + option.value_name + ": ";
  }
  return "";
}

// One spec per spelling; the spellings of one option exclude each other.
void zsh_option_specs(std::ostream& out, const std::vector<OptionDoc>& options,
                      const std::string& indent) {
  for (const auto& option : options) {
    const auto words = spellings(option);
    std::string exclusion;
    if (option.ends_program) {
      exclusion = "(- : *)";
    } else if (words.size() > 1) {
      exclusion = "(" + join(words, " ") + ")";
    }
    const bool takes_value = value_kind(option) != ValueKind::none;
    for (const auto& word : words) {
      // Values may be given again (the last one wins, attachments add up).
      std::string spec = exclusion + (takes_value ? "*" : "") + word;
      if (takes_value) spec += word.rfind("--", 0) == 0 ? "=" : "+";
      spec += "[" + zsh_explanation(option.help) + "]" + zsh_value(option);
      out << indent << "'" << spec << "' \\\n";
    }
  }
}

// --- fish ---

std::string fish_flags(const OptionDoc& option) {
  std::string out;
  for (const auto& name : option.short_names) out += " -s " + name;
  for (const auto& name : option.long_names) out += " -l " + name;
  switch (value_kind(option)) {
    case ValueKind::none:
      break;
    case ValueKind::file:
    case ValueKind::file_list:
      out += " -r -F";
      break;
    case ValueKind::other:
      out += " -x";
      break;
  }
  return out + " -d " + fish_quote(option.help);
}

}  // namespace

std::string zsh_explanation(std::string_view text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '\\':
      case '[':
      case ']':
      case ':':
        out += '\\';
        out += c;
        break;
      case '\'':
        out += "'\\''";
        break;
      case '\n':
        out += ' ';
        break;
      default:
        out += c;
    }
  }
  return out;
}

std::string fish_quote(std::string_view text) {
  std::string out = "'";
  for (char c : text) {
    if (c == '\\' || c == '\'') out += '\\';
    out += c == '\n' ? ' ' : c;
  }
  return out + "'";
}

std::string bash_completion(const ProgramDoc& doc) {
  std::ostringstream out;
  const std::string function = "_" + doc.name;
  out << header(
             doc, "bash",
             "Install as $XDG_DATA_HOME/bash-completion/completions/" + doc.name + " or source it.")
      << "\n"
      << function << "() {\n"
      << "  local cur=${COMP_WORDS[COMP_CWORD]} prev= option= command= word i\n"
      << "  (( COMP_CWORD > 0 )) && prev=${COMP_WORDS[COMP_CWORD-1]}\n\n"
      << "  # The command is the first word that is neither an option nor an option's value.\n"
      << "  for (( i = 1; i < COMP_CWORD; i++ )); do\n"
      << "    word=${COMP_WORDS[i]}\n"
      << "    case $word in\n"
      << "      " << pattern(value_spellings(doc)) << ")\n"
      << "        (( i++ ))\n"
      << "        [[ ${COMP_WORDS[i]} == = ]] && (( i++ ))\n"
      << "        ;;\n"
      << "      -*) ;;\n"
      << "      *) command=$word; break ;;\n"
      << "    esac\n"
      << "  done\n\n"
      << "  # An option's value: \"--option value\" or \"--option=value\" (bash splits at \"=\").\n"
      << "  if [[ $cur == = ]]; then\n"
      << "    option=$prev cur=\n"
      << "  elif [[ $prev == = ]] && (( COMP_CWORD > 1 )); then\n"
      << "    option=${COMP_WORDS[COMP_CWORD-2]}\n"
      << "  else\n"
      << "    option=$prev\n"
      << "  fi\n"
      << "  case $option in\n"
      << "    " << pattern(spellings_of(doc, ValueKind::file)) << ")\n"
      << "      compopt -o filenames 2>/dev/null\n"
      << "      local IFS=$'\\n'\n"
      << "      COMPREPLY=($(compgen -f -- \"$cur\"))\n"
      << "      return 0 ;;\n"
      << "    " << pattern(spellings_of(doc, ValueKind::file_list)) << ")\n"
      << "      compopt -o filenames 2>/dev/null\n"
      << "      local IFS=$'\\n' head=\n"
      << "      [[ $cur == *,* ]] && head=${cur%,*},\n"
      << "      COMPREPLY=($(compgen -f -P \"$head\" -- \"${cur##*,}\"))\n"
      << "      return 0 ;;\n"
      << "    " << pattern(spellings_of(doc, ValueKind::other)) << ")\n"
      << "      return 0 ;;\n"
      << "  esac\n\n"
      << "  local words\n"
      << "  case $command in\n"
      << "    '')\n"
      << "      if [[ $cur == -* ]]; then\n"
      << "        words=" << single_quoted_sh(join(option_words(doc.options), " ")) << "\n"
      << "      else\n"
      << "        words=" << single_quoted_sh(join(command_names(doc), " ")) << "\n"
      << "      fi ;;\n";
  for (const auto& command : doc.commands) {
    out << "    " << command.name << ")\n"
        << "      words=" << single_quoted_sh(join(option_words(command.options), " ")) << " ;;\n";
  }
  out << "    *) return 0 ;;\n"
      << "  esac\n"
      << "  COMPREPLY=($(compgen -W \"$words\" -- \"$cur\"))\n"
      << "}\n\n"
      << "complete -F " << function << " " << doc.name << "\n";
  return out.str();
}

std::string zsh_completion(const ProgramDoc& doc) {
  std::ostringstream out;
  out << "#compdef " << doc.name << "\n"
      << header(doc, "zsh", "Install as _" + doc.name + " in a folder of $fpath.") << "\n"
      << "_" << doc.name << "() {\n"
      << "  local curcontext=$curcontext state state_descr line ret=1\n"
      << "  typeset -A opt_args\n\n"
      << "  _arguments -C -S \\\n";
  zsh_option_specs(out, doc.options, "    ");
  out << "    ': :->command' \\\n"
      << "    '*:: :->argument' && ret=0\n\n"
      << "  case $state in\n"
      << "    command)\n"
      << "      local -a commands=(\n";
  for (const auto& command : doc.commands) {
    out << "        " << single_quoted_sh(command.name + ":" + command.help) << "\n";
  }
  out << "      )\n"
      << "      _describe -t commands '" << doc.name << " command' commands && ret=0\n"
      << "      ;;\n"
      << "    argument)\n"
      << "      curcontext=${curcontext%:*:*}:" << doc.name << "-$line[1]:\n"
      << "      case $line[1] in\n";
  for (const auto& command : doc.commands) {
    out << "        " << command.name << ")\n"
        << "          _arguments -S \\\n";
    zsh_option_specs(out, command.options, "            ");
    out << "            && ret=0\n"
        << "          ;;\n";
  }
  out << "      esac\n"
      << "      ;;\n"
      << "  esac\n"
      << "  return ret\n"
      << "}\n\n"
      << "_" << doc.name << " \"$@\"\n";
  return out.str();
}

std::string fish_completion(const ProgramDoc& doc) {
  std::ostringstream out;
  const std::string helper = "__" + doc.name + "_in_command";
  const std::string complete = "complete -c " + doc.name;
  const auto values = value_spellings(doc);
  out << header(doc, "fish", "Install as " + doc.name + ".fish in a folder of $fish_complete_path.")
      << "\n"
      << "# True when the command being completed is $argv[1] (none given: no command yet). The\n"
      << "# command is the first word that is neither an option nor an option's value.\n"
      << "function " << helper << "\n"
      << "    set -l tokens (commandline -opc)\n"
      << "    set -e tokens[1]\n"
      << "    set -l skip 0\n"
      << "    set -l command ''\n"
      << "    for token in $tokens\n"
      << "        if test $skip = 1\n"
      << "            set skip 0\n"
      << "            continue\n"
      << "        end\n"
      << "        switch $token\n"
      << "            case " << (values.empty() ? "__velmora_none__" : join(values, " ")) << "\n"
      << "                set skip 1\n"
      << "            case '-*'\n"
      << "            case '*'\n"
      << "                set command $token\n"
      << "                break\n"
      << "        end\n"
      << "    end\n"
      << "    test \"$command\" = \"$argv[1]\"\n"
      << "end\n\n"
      << complete << " -f\n";
  const std::string top = " -n " + helper;
  for (const auto& command : doc.commands) {
    out << complete << top << " -a " << command.name << " -d " << fish_quote(command.help) << "\n";
  }
  for (const auto& option : doc.options) out << complete << top << fish_flags(option) << "\n";
  for (const auto& command : doc.commands) {
    const std::string when = " -n '" + helper + " " + command.name + "'";
    for (const auto& option : command.options) {
      out << complete << when << fish_flags(option) << "\n";
    }
  }
  return out.str();
}

}  // namespace velmora::shell_docs
