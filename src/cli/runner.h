// Runs one CLI command against the core: builds the App on a terminal host,
// opens the port, gives the core the command identifier of the job, runs
// the event loop until the job is over and turns what the core showed into
// an exit code.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "cli/console.h"
#include "core/boot/image_download.h"
#include "core/serial_device.h"

namespace quillon::cli {

struct Options {
  std::string command;  // ports, download, erase, send, receive, nlec, test, monitor, guide
  std::string what;     // software|bootloader, settings|program|bitmap, send|get
  std::string file;
  std::string programName;
  std::string port;     // device path; empty: find the bridge
  uint32_t baud = 115200;
  std::string image;
  bool yes = false;
  bool quiet = false;
  bool verbose = false;
  std::string logFile;
  double seconds = 0;   // monitor: 0 runs until Ctrl-C

  // Bounds of the CLI's own (the core bounds its own waits too).
  double idleSeconds = 30;      // a transfer or download with no sign of life this long fails
  double testWaitSeconds = 1;   // how long `test` listens for the answer
  double eraseSeconds = 150;    // an erase that has not ended by then fails

  // Where port discovery looks; tests lay out their own trees.
  std::string sysRoot = "/sys";
  std::string devRoot = "/dev";
};

struct Environment {
  Console& console;
  SerialFactory& serial;
  ImageSource* images = nullptr;  // the images the program carries; may be null
  const std::atomic<bool>* interrupted = nullptr;  // raised by Ctrl-C
};

int Run(const Options& options, Environment& env);

}  // namespace quillon::cli
