// quillon: the readout's download utility on the command line.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include "cli/arguments.h"
#include "cli/cli_platform.h"
#include "cli/image_identity.h"
#include "cli/json_out.h"
#include "cli/options.h"
#include "cli/runner.h"
#include "core/guide_texts.h"
#if QUILLON_HAVE_IMAGES
#include "resources/embedded_images.h"
#endif

namespace {

using namespace quillon::cli;
using quillon::FILE_KIND_BITMAP;
using quillon::FILE_KIND_PROGRAM;
using quillon::FILE_KIND_SETTINGS;
using quillon::FileKind;

// A number of seconds in decimal, finite, from 0 to a year; why not, else empty.
std::string SecondsProblem(const std::string& value) {
  char* end = nullptr;
  const double seconds = std::strtod(value.c_str(), &end);
  const bool decimal = value.find_first_not_of("0123456789.eE+-") == std::string::npos;
  if (decimal && end != value.c_str() && *end == 0 && std::isfinite(seconds) && seconds >= 0 &&
      seconds <= MONITOR_SECONDS_MAX) {
    return {};
  }
  return value + " is not a number of seconds from 0 to 31536000 (a year)";
}

// --seconds: 0 (until Ctrl-C) to a year.
std::string CheckSeconds(std::string& value) {
  const std::string problem = SecondsProblem(value);
  return problem.empty() ? problem : problem + "; 0 runs until Ctrl-C";
}

// --wait: 0 (no wait) to a year.
std::string CheckWait(std::string& value) { return SecondsProblem(value); }

std::string CheckBaud(std::string& value) {
  if (value == "115200" || value == "38400") return {};
  return value + " is not a line rate the readout's bootloader takes: give 115200 or 38400";
}

// The options of every run, before or after the command.
void AddRunOptions(CLI::App& cli, Options& options, quillon::ImageSource* images) {
  // The version, then which images this build carries and whether they are
  // the readout's firmware or placeholders.
  cli.set_version_flag("-V,--version", std::function<std::string()>([images] {
                         std::string version =
                             "quillon " QUILLON_VERSION "\n" + BuiltInImageLines(images);
                         version.pop_back();
                         return version;
                       }));
  cli.add_option(
         "-p,--port", options.ports,
         "Serial device of a readout; repeat for several (default: the USB bridge 10C4:EA60 found)")
      ->option_text("PORT");
  cli.add_flag("--all", options.all,
               "Every USB bridge 10C4:EA60 found, in the order of their sockets");
  cli.add_option("--expect", options.expect,
                 "With --all: start only when exactly N bridges are found")
      ->option_text("N")
      ->check(CLI::NonNegativeNumber);
  cli.add_option("--wait", options.waitSeconds,
                 "Wait up to SECONDS for the ports (or --expect's number) to appear")
      ->option_text("SECONDS")
      ->check(CLI::Validator(CheckWait, "SECONDS"));
  auto* quiet = cli.add_flag("-q,--quiet", options.quiet, "Print only errors and results");
  cli.add_flag("-v,--verbose", options.verbose, "Print the event log as it is written")
      ->excludes(quiet);
  cli.add_flag("--json", options.json,
               "One JSON object per line on standard output for every event");
  cli.add_option("--progress", options.progress,
                 "auto (bars on a terminal), bars, plain (timed lines) or none")
      ->check(CLI::IsMember({"auto", "bars", "plain", "none"}));
  cli.add_option("--log", options.logFile,
                 "Append the event log, with times and each job's outcome, to FILE")
      ->option_text("FILE");
  cli.add_option("--report", options.reportFile, "Append one JSON record per port per job to FILE")
      ->option_text("FILE");
}

// The words CLI11 reads before they are typed: the command's first argument
// (software|bootloader, settings|program|bitmap, send|get) and receive's rest.
struct Words {
  std::string what;
  std::vector<std::string> receiveArgs;
};

// The commands and their own options.
void AddCommands(CLI::App& cli, Options& options, Words& words) {
  cli.add_subcommand("ports", "List serial ports; mark the readouts' USB bridges");
  auto* download = cli.add_subcommand("download", "Load new software or a new bootloader");
  download->add_option("image", words.what, "software or bootloader")
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
  send->add_option("kind", words.what, "settings, program or bitmap")
      ->required()
      ->check(CLI::IsMember({"settings", "program", "bitmap"}));
  send->add_option("file", options.file, "File to send (a bitmap: its text listing)")->required();
  send->add_flag("--allow-empty", options.allowEmpty,
                 "Send an empty file (or a listing without bytes) all the same");
  auto* receive = cli.add_subcommand("receive", "Receive the settings or a program into a file");
  receive->add_option("kind", words.what, "settings or program")
      ->required()
      ->check(CLI::IsMember({"settings", "program"}));
  receive->add_option("args", words.receiveArgs, "settings FILE | program NAME FILE")
      ->expected(0, 2);
  auto* nlec = cli.add_subcommand("nlec", "Send or get the NLEC compensation table");
  nlec->add_option("direction", words.what, "send or get")
      ->required()
      ->check(CLI::IsMember({"send", "get"}));
  nlec->add_option("file", options.file, "Table file (text)")->required();
  nlec->add_flag("--allow-empty", options.allowEmpty, "Send an empty table all the same");
  cli.add_subcommand("test", "Send the test packet and print the answer");
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
}

void Help(CLI::App& cli, const std::vector<std::string>& args) {
  // With --json standard output is for JSON only.
  std::FILE* out = JsonOutput() ? stderr : stdout;
  CLI::App* about = args.size() > 1 ? cli.get_subcommand(args[1]) : &cli;
  std::fprintf(out, "%s", about->help(about == &cli ? "" : "quillon").c_str());
}

// quillon help [COMMAND]: the program's or a command's help.
int ShowHelp(CLI::App& cli, const std::vector<std::string>& args) {
  const std::vector<std::string> words(std::find(args.begin(), args.end(), "help"), args.end());
  if (words.size() > 2 || (words.size() == 2 && words[1][0] == '-')) {
    return Refuse(EXIT_USAGE, "quillon help takes one command at most");
  }
  try {
    Help(cli, words);
  } catch (const CLI::OptionNotFound&) {
    return Refuse(EXIT_USAGE, "no such command: " + words.back());
  }
  return EXIT_DONE;
}

// The typed request of the command CLI11 found and its first argument, both
// checked against their lists already.
void Classify(const std::string& command, const std::string& what, Options& options) {
  static const std::map<std::string, Command> commands = {
      {"ports", Command::PORTS}, {"download", Command::DOWNLOAD}, {"erase", Command::ERASE},
      {"send", Command::SEND},   {"receive", Command::RECEIVE},   {"nlec", Command::NLEC_SEND},
      {"test", Command::TEST},   {"monitor", Command::MONITOR},   {"guide", Command::GUIDE}};
  static const std::map<std::string, FileKind> kinds = {{"settings", FILE_KIND_SETTINGS},
                                                        {"program", FILE_KIND_PROGRAM},
                                                        {"bitmap", FILE_KIND_BITMAP}};
  options.command = commands.at(command);
  if (options.command == Command::NLEC_SEND && what == "get") options.command = Command::NLEC_GET;
  if (auto kind = kinds.find(what); kind != kinds.end()) options.kind = kind->second;
  if (what == "bootloader") options.firmware = Firmware::BOOTLOADER;
  options.name = command + (what.empty() ? "" : " " + what);
}

// What the typed request still needs of the words: receive's name and file;
// -1 when the run goes on, else the exit code.
int CompleteRequest(const Words& words, Options& options) {
  if (options.command == Command::RECEIVE) {
    const size_t wanted = options.kind == FILE_KIND_PROGRAM ? 2 : 1;
    if (words.receiveArgs.size() != wanted) {
      return Refuse(EXIT_USAGE, options.name + " takes " +
                                    (wanted == 2 ? "a program NAME and a FILE" : "one FILE") +
                                    " (receive settings FILE, receive program NAME FILE)");
    }
    if (wanted == 2) options.programName = words.receiveArgs[0];
    options.file = words.receiveArgs.back();
  }
  if (options.command == Command::GUIDE && options.ports.size() > 1) {
    return Refuse(EXIT_USAGE, "the guide works with one readout; give one --port");
  }
  return -1;
}

// Reads the command line into options: -1 when the run goes on, else the
// exit code.
int ReadCommandLine(int argc, char** argv, CLI::App& cli, Options& options,
                    quillon::ImageSource* images) {
  Words words;
  AddRunOptions(cli, options, images);
  AddCommands(cli, options, words);
  Arranged arranged = Arrange(argc, argv, cli);
  if (!arranged.error.empty())
    return Refuse(EXIT_USAGE, arranged.error + " (quillon help lists them)");
  if (arranged.help) return ShowHelp(cli, arranged.args);
  try {
    cli.parse(std::vector<std::string>(arranged.args.rbegin(), arranged.args.rend()));
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() != 0)
      return Refuse(EXIT_USAGE, std::string(e.what()) + " (quillon help [COMMAND])");
    if (JsonOutput()) return cli.exit(e, std::cerr, std::cerr);
    return cli.exit(e);
  }
  std::string command;
  for (auto* sub : cli.get_subcommands()) command = sub->get_name();
  Classify(command, words.what, options);
  return CompleteRequest(words, options);
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  SetJsonOutput(JsonAsked(argc, argv));
  CLI::App cli{std::string(quillon::APP_TITLE) +
                   "\nPuts new software on Quillon readouts over their USB cables, and carries out "
                   "the readouts' maintenance transfers; on several readouts at once if asked.",
               "quillon"};
  cli.fallthrough();
  cli.require_subcommand(1, 1);
  cli.footer(
      "Options of the run may come before or after the command. Exit codes: 0 done (on every "
      "port); 1 the "
      "job failed (readout error, checksum mismatch, no answer, port gone); 2 usage error or local "
      "file "
      "problem, found before anything is sent; 3 port not found or cannot be opened (or not the "
      "number "
      "--expect'ed); 4 erase declined; 130 interrupted.\nquillon help COMMAND shows a command's "
      "options. "
      "See quillon(1).");
#if QUILLON_HAVE_IMAGES
  quillon::EmbeddedImages embedded;
  quillon::ImageSource* images = &embedded;
#else
  quillon::ImageSource* images = nullptr;  // only --image can give one
#endif
  const int code = ReadCommandLine(argc, argv, cli, options, images);
  if (code >= 0) return EndRun(code);

  static std::atomic<bool> interrupted{false};
  PrepareTerminal();
  WatchInterrupts([] {
    interrupted.store(true);
    InterruptAllRuns();
  });
  return EndRun(Run(options, images, interrupted));
}
