// What the command line needs of the operating system, behind one small
// interface: port names, the serial backend, error texts, the terminal, and
// Ctrl-C. src/platform/<os>/cli_platform.cpp implements it; the list of
// ports comes from the platform's port discovery (cli/port_choice.h).
#pragma once

#include <atomic>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/serial_device.h"

namespace quillon::cli {

struct PortInfo {
  std::string path;         // what --port takes: /dev/ttyUSB0, COM12
  std::string name;         // short name: ttyUSB0, COM12
  std::string ids;          // "10c4:ea60", empty when not a USB device
  std::string description;  // maker and product, when known
  bool bridge = false;      // the readout's USB bridge (10C4:EA60)
  // What identifies the socket a readout is plugged into, where known.
  std::string serial;    // the USB device's serial number
  std::string location;  // its physical place: the by-path name, or Windows' location path
  std::string byPath;    // Linux: /dev/serial/by-path/... leading to the device
  std::string byId;      // Linux: /dev/serial/by-id/...; Windows: the device instance id
  bool inUse = false;    // held open by another program (only when listed with checkUse)
};

// Whether the port given as --port is there now (for --wait).
bool PortPresent(const std::string& port);
// The same text for every name of one device (a by-id link and its
// /dev/ttyUSB0; COM12 and \\.\COM12), to match --port against ListPorts.
std::string PortKey(const std::string& port);
// The device name to open for what the user gave as --port (COM12 becomes
// \\.\COM12 on Windows), and the short name used in messages and file names.
std::string DevicePath(const std::string& port);
std::string ShortName(const std::string& port);
std::unique_ptr<SerialFactory> MakeSerialFactory();
// The system's text for an error code, and why a port could not be opened,
// with a hint where one helps. Empty when the code says nothing.
std::string SystemErrorText(int code);
std::string DescribeOpenError(int code);

// The machine's name, for the report.
std::string HostName();
// Flushes a file through to the disk; false, and why, when it fails.
bool SyncFile(std::FILE* file, std::string* why);

// Whether standard input / standard error are terminals, and the width of
// the terminal (80 when unknown).
bool StdinIsTerminal();
bool StderrIsTerminal();
int TerminalWidth();
// Enables ANSI sequences on the error stream where the console needs it,
// and lets a write to a closed pipe fail instead of ending the program.
void PrepareTerminal();

// Calls onInterrupt (on a thread of its own, never in a signal handler) at
// Ctrl-C or a termination request.
void WatchInterrupts(std::function<void()> onInterrupt);
// Reads one line from standard input; nullopt at its end or once
// interrupted becomes true.
std::optional<std::string> ReadLine(const std::atomic<bool>& interrupted);

}  // namespace quillon::cli
