// quillon: the readout's download utility on the command line.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "cli/cli_platform.h"
#include "cli/image_identity.h"
#include "cli/options.h"
#include "cli/runner.h"
#include "cli/text_escape.h"
#include "core/app/app.h"
#if QUILLON_HAVE_IMAGES
#include "resources/embedded_images.h"
#endif

namespace {

using quillon::cli::EscapeControls;

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

// The first word that is neither an option nor an option's value must be a
// command; a typo is named, with the nearest command.
bool CheckCommandWord(int argc, char** argv, const std::vector<std::string>& commands) {
  for (int i = 1; i < argc; ++i) {
    std::string word = argv[i];
    if (word == "-p" || word == "--port" || word == "--log") {
      ++i;
      continue;
    }
    if (word.empty() || word[0] == '-') continue;
    if (std::find(commands.begin(), commands.end(), word) != commands.end()) return true;
    std::string nearest = commands.front();
    for (const auto& command : commands) {
      if (Distance(word, command) < Distance(word, nearest)) nearest = command;
    }
    std::fprintf(stderr, "quillon: unknown command \"%s\"; did you mean \"%s\"? (quillon --help lists them)\n",
                 EscapeControls(word).c_str(), nearest.c_str());
    return false;
  }
  return true;
}

// --seconds: a finite count from 0 (until Ctrl-C) to a year.
std::string CheckSeconds(std::string& value) {
  char* end = nullptr;
  double seconds = std::strtod(value.c_str(), &end);
  if (end != value.c_str() && *end == 0 && std::isfinite(seconds) && seconds >= 0 &&
      seconds <= quillon::cli::MONITOR_SECONDS_MAX) {
    return {};
  }
  return value + " is not a number of seconds from 0 to 31536000 (a year); 0 runs until Ctrl-C";
}

std::string CheckBaud(std::string& value) {
  if (value == "115200" || value == "38400") return {};
  return value + " is not a line rate the readout's bootloader takes: give 115200 or 38400";
}

}  // namespace

int main(int argc, char** argv) {
  using namespace quillon::cli;
  Options options;
  CLI::App cli{std::string(quillon::APP_TITLE) +
                   "\nPuts new software on Quillon readouts over their USB cables, and carries out "
                   "the readouts' maintenance transfers; on several readouts at once if asked.",
               "quillon"};
#if QUILLON_HAVE_IMAGES
  quillon::EmbeddedImages embedded;
  quillon::ImageSource* images = &embedded;
#else
  quillon::ImageSource* images = nullptr;  // only --image can give one
#endif
  // The version, then which images this build carries and whether they are
  // the readout's firmware or placeholders.
  cli.set_version_flag("--version", std::function<std::string()>([images] {
                         std::string version = "quillon 1.0.2\n" + BuiltInImageLines(images);
                         version.pop_back();
                         return version;
                       }));
  cli.fallthrough();
  cli.require_subcommand(1, 1);
  cli.add_option("-p,--port", options.ports,
                 "Serial device of a readout; repeat for several (default: the USB bridge 10C4:EA60 found)")
      ->option_text("PORT");
  cli.add_flag("--all", options.all, "Every USB bridge 10C4:EA60 found");
  auto* quiet = cli.add_flag("-q,--quiet", options.quiet, "Print only errors and results");
  cli.add_flag("-v,--verbose", options.verbose, "Print the event log as it is written")->excludes(quiet);
  cli.add_flag("--json", options.json, "One JSON object per line on standard output for every event");
  cli.add_option("--log", options.logFile, "Write the event log to FILE")->option_text("FILE");
  cli.footer(
      "Exit codes: 0 done (on every port); 1 the job failed (readout error, checksum mismatch, no "
      "answer, port gone); 2 usage error or local file problem, found before anything is sent; "
      "3 port not found or cannot be opened; 4 erase declined; 130 interrupted.\nSee quillon(1).");

  auto* ports = cli.add_subcommand("ports", "List serial ports; mark the readouts' USB bridges");
  auto* download = cli.add_subcommand("download", "Load new software or a new bootloader");
  download->add_option("image", options.what, "software or bootloader")
      ->required()
      ->check(CLI::IsMember({"software", "bootloader"}));
  download->add_option("-b,--baud", options.baud, "Line rate of the download: 115200 or 38400")
      ->check(CLI::Validator(CheckBaud, "115200|38400"));
  download->add_option("--image", options.image, "Send this file instead of the built-in image")
      ->option_text("FILE");
  download->add_flag("--allow-placeholder", options.allowPlaceholder,
                     "Send a built-in placeholder image all the same (for a simulator only)");
  auto* erase = cli.add_subcommand("erase", "Erase the readout's user storage");
  erase->add_flag("-y,--yes", options.yes, "Do not ask for confirmation");
  auto* send = cli.add_subcommand("send", "Send a settings, program or bitmap file");
  send->add_option("kind", options.what, "settings, program or bitmap")
      ->required()
      ->check(CLI::IsMember({"settings", "program", "bitmap"}));
  send->add_option("file", options.file, "File to send (a bitmap: its text listing)")->required();
  send->add_flag("--allow-empty", options.allowEmpty, "Send an empty file (or a listing without bytes) all the same");
  std::vector<std::string> receiveArgs;
  auto* receive = cli.add_subcommand("receive", "Receive the settings or a program into a file");
  receive->add_option("kind", options.what, "settings or program")
      ->required()
      ->check(CLI::IsMember({"settings", "program"}));
  receive->add_option("args", receiveArgs, "settings FILE | program NAME FILE")->expected(0, 2);
  auto* nlec = cli.add_subcommand("nlec", "Send or get the NLEC compensation table");
  nlec->add_option("direction", options.what, "send or get")->required()->check(CLI::IsMember({"send", "get"}));
  nlec->add_option("file", options.file, "Table file (text)")->required();
  nlec->add_flag("--allow-empty", options.allowEmpty, "Send an empty table all the same");
  auto* test = cli.add_subcommand("test", "Send the test packet and print the answer");
  auto* monitor = cli.add_subcommand("monitor", "Log the raw bytes the readout sends");
  monitor
      ->add_option("--seconds", options.seconds,
                   "Stop after N seconds, at most 31536000 (0, the default: at Ctrl-C)")
      ->check(CLI::Validator(CheckSeconds, "SECONDS"));
  auto* guide = cli.add_subcommand("guide", "The six-page download guide, step by step");
  guide->add_option("--image", options.image, "Send this file instead of the built-in image")
      ->option_text("FILE");
  guide->add_flag("--allow-placeholder", options.allowPlaceholder,
                  "Send a built-in placeholder image all the same (for a simulator only)");

  std::vector<std::string> commands;
  for (auto* sub : cli.get_subcommands({})) commands.push_back(sub->get_name());
  if (!CheckCommandWord(argc, argv, commands)) return EXIT_USAGE;
  try {
    cli.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() == 0) return cli.exit(e);
    std::fprintf(stderr, "quillon: %s\n(quillon --help, or quillon COMMAND --help)\n",
                 EscapeControls(e.what()).c_str());
    return EXIT_USAGE;
  }
  for (auto* sub : {ports, download, erase, send, receive, nlec, test, monitor, guide}) {
    if (sub->parsed()) options.command = sub->get_name();
  }
  if (receive->parsed()) {
    size_t wanted = options.what == "program" ? 2 : 1;
    if (receiveArgs.size() != wanted) {
      std::fprintf(stderr, "quillon: receive %s takes %s (receive settings FILE, receive program NAME FILE)\n",
                   options.what.c_str(), wanted == 2 ? "a program NAME and a FILE" : "one FILE");
      return EXIT_USAGE;
    }
    if (wanted == 2) options.programName = receiveArgs[0];
    options.file = receiveArgs.back();
  }
  if (options.command == "guide" && options.ports.size() > 1) {
    std::fprintf(stderr, "quillon: the guide works with one readout; give one --port\n");
    return EXIT_USAGE;
  }

  static std::atomic<bool> interrupted{false};
  PrepareTerminal();
  WatchInterrupts([] {
    interrupted.store(true);
    InterruptAllRuns();
  });
  return Run(options, images, interrupted);
}
