// The command line before CLI11 reads it: the command word found among the
// options, a mistyped one named, and the options that belong to the command
// moved after it, so they work before the command as well as after it
// (quillon -p X -b 38400 download bootloader; quillon -y erase).
#pragma once

#include <string>
#include <vector>

namespace CLI {
class App;
}

namespace quillon::cli {

struct Arranged {
  std::vector<std::string> args;  // argv[1..], rearranged
  std::string command;            // the command word; empty when none
  bool help = false;              // the command word is help
  std::string error;              // a mistyped command, named with the nearest
};

Arranged Arrange(int argc, char** argv, CLI::App& app);

// Whether --json was asked for, before the arguments are read.
bool JsonAsked(int argc, char** argv);

}  // namespace quillon::cli
