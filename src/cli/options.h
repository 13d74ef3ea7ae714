// What the command line was asked to do: the command line read once into a
// typed request. Nothing after the reading looks at the words again.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/jobs.h"

namespace quillon::cli {

// monitor --seconds: at most a year; larger values are typing errors.
constexpr double MONITOR_SECONDS_MAX = 31536000;

enum ExitCode : int {
  EXIT_DONE = 0,
  EXIT_FAILED = 1,       // the job failed: readout error, checksums differ, no answer, port gone
  EXIT_USAGE = 2,        // usage error or a local file problem, found before anything is sent
  EXIT_PORT = 3,         // the port was not found or cannot be opened
  EXIT_DECLINED = 4,     // the user answered No to the erase question
  EXIT_INTERRUPTED = 130,
};

// The commands; nlec send and nlec get are two.
enum class Command {
  PORTS,
  DOWNLOAD,
  ERASE,
  SEND,
  RECEIVE,
  NLEC_SEND,
  NLEC_GET,
  TEST,
  MONITOR,
  GUIDE,
};

// The image a download sends.
enum class Firmware { SOFTWARE, BOOTLOADER };

inline const char* FirmwareName(Firmware firmware) {
  return firmware == Firmware::BOOTLOADER ? "bootloader" : "software";
}

struct Options {
  Command command = Command::PORTS;
  FileKind kind = FILE_KIND_BINARY;        // send, receive: settings, program or bitmap
  Firmware firmware = Firmware::SOFTWARE;  // download
  std::string name;  // the job's name in every record: "download bootloader", "test"
  std::string file;
  std::string programName;
  std::vector<std::string> ports;  // empty: the one bridge found
  bool all = false;                // every bridge found
  uint32_t baud = 115200;
  std::string image;
  bool allowPlaceholder = false;  // send a built-in placeholder image all the same
  bool yes = false;
  bool quiet = false;
  bool verbose = false;
  bool json = false;
  bool allowEmpty = false;
  std::string logFile;     // appended to: the event log with times, an outcome line per port
  std::string reportFile;  // appended to: one JSON record per port per job
  std::string progress = "auto";  // auto, bars, plain, none
  int expect = -1;         // --all: exactly this many bridges, or nothing starts (-1: any)
  double waitSeconds = 0;  // wait this long for the ports to appear
  double seconds = 0;  // monitor: 0 runs until Ctrl-C

  // Bounds of the command line's own (the engine bounds its waits too).
  double idleSeconds = 30;     // a transfer or download with no sign of life this long fails
  double testWaitSeconds = 1;  // how long `test` listens for the answer
  double eraseSeconds = 150;   // an erase that has not ended by then fails
};

}  // namespace quillon::cli
