// Finding the command word and moving the command's options after it.
#include "cli/arguments.h"

#include <CLI/CLI.hpp>
#include <algorithm>

namespace quillon::cli {

namespace {

size_t Distance(const std::string& a, const std::string& b) {
  std::vector<size_t> row(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    size_t diagonal = row[0];
    row[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

// The option a word names (--baud=38400 names --baud), in app or, when
// anywhere is set, in any of its commands.
const CLI::Option* OptionOf(const std::string& word, CLI::App& app, bool anywhere) {
  const std::string name = word.substr(0, word.find('='));
  if (const CLI::Option* own = app.get_option_no_throw(name)) return own;
  if (!anywhere) return nullptr;
  for (const CLI::App* sub : app.get_subcommands({})) {
    if (const CLI::Option* option = sub->get_option_no_throw(name)) return option;
  }
  return nullptr;
}

// Whether the word is an option that takes the next word as its value.
bool TakesValue(const std::string& word, const CLI::Option* option) {
  if (!option || option->get_items_expected_min() == 0) return false;
  if (word.rfind("--", 0) == 0) return word.find('=') == std::string::npos;
  return word.size() == 2;  // -b38400 carries its own
}

}  // namespace

bool JsonAsked(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string word = argv[i];
    if (word == "--") return false;
    if (word == "--json") return true;
  }
  return false;
}

Arranged Arrange(int argc, char** argv, CLI::App& app) {
  Arranged out;
  std::vector<std::string> words(argv + 1, argv + argc);
  size_t at = 0;
  for (; at < words.size(); ++at) {
    const std::string& word = words[at];
    if (word == "--") break;
    if (word.size() > 1 && word[0] == '-') {
      if (TakesValue(word, OptionOf(word, app, true))) ++at;
      continue;
    }
    out.command = word;
    break;
  }
  std::vector<std::string> commands{"help"};
  for (const CLI::App* sub : app.get_subcommands({})) commands.push_back(sub->get_name());
  if (!out.command.empty() &&
      std::find(commands.begin(), commands.end(), out.command) == commands.end()) {
    std::string nearest = commands.front();
    for (const auto& command : commands) {
      if (Distance(out.command, command) < Distance(out.command, nearest)) nearest = command;
    }
    out.error = "unknown command \"" + out.command + "\"; did you mean \"" + nearest + "\"?";
  }
  out.help = out.error.empty() && out.command == "help";
  CLI::App* sub = out.error.empty() && !out.command.empty() && !out.help
                      ? app.get_subcommand(out.command)
                      : nullptr;
  // Before the command: the program's options stay, the command's move.
  std::vector<std::string> before, moved;
  for (size_t i = 0; i < at && i < words.size(); ++i) {
    const std::string& word = words[i];
    const bool option = word.size() > 1 && word[0] == '-';
    const bool mine = sub && option && !OptionOf(word, app, false) && OptionOf(word, *sub, false);
    const bool value = option && TakesValue(word, OptionOf(word, app, true)) && i + 1 < at;
    auto& into = mine ? moved : before;
    into.push_back(word);
    if (value) into.push_back(words[++i]);
  }
  out.args = before;
  if (at < words.size()) out.args.push_back(words[at]);
  out.args.insert(out.args.end(), moved.begin(), moved.end());
  if (at + 1 < words.size())
    out.args.insert(out.args.end(), words.begin() + static_cast<long>(at) + 1, words.end());
  return out;
}

}  // namespace quillon::cli
