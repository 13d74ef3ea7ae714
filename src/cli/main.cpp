// quillon: the readout's download utility on the command line.
#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "cli/console.h"
#include "cli/outcome.h"
#include "cli/runner.h"
#include "core/app/main_dialog.h"
#include "platform/posix/posix_serial.h"
#if QUILLON_HAVE_IMAGES
#include "resources/embedded_images.h"
#endif

namespace {

std::atomic<bool> interrupted{false};

extern "C" void OnSignal(int) { interrupted.store(true); }

void InstallSignalHandlers() {
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  // No SA_RESTART: a blocking read of a y/N answer ends at Ctrl-C.
  action.sa_flags = 0;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

}  // namespace

int main(int argc, char** argv) {
  using quillon::cli::Options;
  static_assert(std::atomic<bool>::is_always_lock_free, "the signal handler needs a lock-free flag");

  Options options;
  CLI::App cli{std::string(quillon::APP_TITLE) +
                   "\nPuts new software on a Quillon readout over its USB cable, and carries out "
                   "the readout's maintenance transfers.",
               "quillon"};
  cli.set_version_flag("--version", "quillon 1.0.2");
  cli.fallthrough();
  cli.require_subcommand(1, 1);
  cli.add_option("--port", options.port,
                 "Serial device of the readout (default: the USB bridge 10C4:EA60 found in sysfs)")
      ->option_text("PORT");
  auto* quiet = cli.add_flag("-q,--quiet", options.quiet, "Print only errors and results");
  cli.add_flag("-v,--verbose", options.verbose, "Print the event log as it is written")
      ->excludes(quiet);
  cli.add_option("--log", options.logFile, "Write the event log to FILE")->option_text("FILE");
  cli.footer(
      "Exit codes: 0 done; 1 the operation failed (readout error, checksum mismatch, retries "
      "exhausted, time-out, hang-up); 2 usage error or local file problem; 3 port not found or "
      "cannot be opened; 130 interrupted by Ctrl-C.\nSee quillon(1).");

  auto* ports = cli.add_subcommand("ports", "List serial ports; mark the readout's USB bridge");

  auto* download = cli.add_subcommand("download", "Load new software or a new bootloader");
  download->add_option("image", options.what, "software or bootloader")
      ->required()
      ->check(CLI::IsMember({"software", "bootloader"}));
  download->add_option("--baud", options.baud, "Line rate of the download (115200 or 38400)")
      ->check(CLI::IsMember({115200u, 38400u}));
  download->add_option("--image", options.image, "Send this file instead of the built-in image")
      ->check(CLI::ExistingFile);

  auto* erase = cli.add_subcommand("erase", "Erase the readout's user storage");
  erase->add_flag("-y,--yes", options.yes, "Do not ask for confirmation");

  auto* send = cli.add_subcommand("send", "Send a settings, program or bitmap file");
  send->add_option("kind", options.what, "settings, program or bitmap")
      ->required()
      ->check(CLI::IsMember({"settings", "program", "bitmap"}));
  send->add_option("file", options.file, "File to send")->required();

  std::vector<std::string> receiveArgs;
  auto* receive = cli.add_subcommand("receive", "Receive the settings or a program into a file");
  receive->add_option("kind", options.what, "settings or program")
      ->required()
      ->check(CLI::IsMember({"settings", "program"}));
  receive->add_option("args", receiveArgs, "settings FILE | program NAME FILE")->required();

  auto* nlec = cli.add_subcommand("nlec", "Send or get the NLEC compensation table");
  nlec->add_option("direction", options.what, "send or get")
      ->required()
      ->check(CLI::IsMember({"send", "get"}));
  nlec->add_option("file", options.file, "Table file (text)")->required();

  auto* test = cli.add_subcommand("test", "Send the test packet and print any answer");
  auto* monitor = cli.add_subcommand("monitor", "Log the raw bytes the readout sends");
  monitor->add_option("--seconds", options.seconds, "Stop after N seconds (default: at Ctrl-C)")
      ->check(CLI::NonNegativeNumber);
  auto* guide = cli.add_subcommand("guide", "The six-page download guide, step by step");
  guide->add_option("--image", options.image, "Send this file instead of the built-in image")
      ->check(CLI::ExistingFile);

  try {
    cli.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    int code = cli.exit(e);
    return code == 0 ? 0 : quillon::cli::EXIT_USAGE;
  }

  for (auto* sub : {ports, download, erase, send, receive, nlec, test, monitor, guide}) {
    if (sub->parsed()) options.command = sub->get_name();
  }
  if (receive->parsed()) {
    size_t wanted = options.what == "program" ? 2 : 1;
    if (receiveArgs.size() != wanted) {
      std::fprintf(stderr, "quillon: usage: quillon receive settings FILE | receive program NAME FILE\n");
      return quillon::cli::EXIT_USAGE;
    }
    if (wanted == 2) options.programName = receiveArgs[0];
    options.file = receiveArgs.back();
  }

  InstallSignalHandlers();
  quillon::cli::StdConsole console;
  quillon::posix::PosixSerialFactory serial;
#if QUILLON_HAVE_IMAGES
  quillon::EmbeddedImages embedded;
  quillon::ImageSource* images = &embedded;
#else
  quillon::ImageSource* images = nullptr;  // only --image can give one
#endif
  quillon::cli::Environment env{console, serial, images, &interrupted};
  return quillon::cli::Run(options, env);
}
