#include <CLI/CLI.hpp>
#include <stdexcept>

#include "velmora/shell_docs/shell_docs.hpp"

namespace velmora::shell_docs {

namespace {

// Names end up unquoted in shell `case` patterns and word lists.
const std::string& checked_name(const std::string& name) {
  const bool safe = !name.empty() && name.find_first_not_of(
                                         "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                         "0123456789-_") == std::string::npos;
  if (!safe)
    throw std::invalid_argument("option or command name unsafe in a shell script: " + name);
  return name;
}

std::vector<OptionDoc> describe_options(const CLI::App& app) {
  std::vector<OptionDoc> docs;
  for (const CLI::Option* option : app.get_options()) {
    // Positionals have no names to complete; the program takes none.
    if (!option->nonpositional()) continue;
    OptionDoc doc;
    for (const auto& name : option->get_snames()) doc.short_names.push_back(checked_name(name));
    for (const auto& name : option->get_lnames()) doc.long_names.push_back(checked_name(name));
    if (option->get_type_size_max() > 0) doc.value_name = option->get_type_name();
    doc.help = option->get_description();
    doc.ends_program = option == app.get_help_ptr() || option == app.get_version_ptr();
    docs.push_back(std::move(doc));
  }
  return docs;
}

}  // namespace

ProgramDoc describe_command_line(const CLI::App& app, std::string version) {
  ProgramDoc doc;
  doc.name = checked_name(app.get_name());
  doc.description = app.get_description();
  doc.version = std::move(version);
  doc.options = describe_options(app);
  for (const CLI::App* command : app.get_subcommands([](const CLI::App*) { return true; })) {
    doc.commands.push_back({checked_name(command->get_name()), command->get_description(),
                            describe_options(*command)});
  }
  return doc;
}

}  // namespace velmora::shell_docs
