// Which ports a run uses: the ones named, every bridge in the order of the
// sockets they are plugged into (--all), exactly as many as expected
// (--expect), waited for (--wait); and the list `quillon ports` prints.
#pragma once

#include <atomic>
#include <string>
#include <vector>

#include "cli/cli_platform.h"
#include "cli/options.h"

namespace quillon::cli {

// Every serial port of the machine, sorted by name, from the platform's port
// discovery. checkUse finds out which are in use (slower).
std::vector<PortInfo> ListPorts(bool checkUse = false);

// The ports command, as text or JSON events.
int ListAllPorts(bool json);

// Fills ports; EXIT_DONE, or the exit code after saying why not.
int ResolvePorts(const Options& options, const std::atomic<bool>& interrupted,
                 std::vector<std::string>& ports);

// "1-1.10" after "1-1.9": names compared with their numbers as numbers.
bool NaturalLess(const std::string& a, const std::string& b);

// What ListPorts knows of the port given (empty fields when nothing).
PortInfo IdentifyPort(const std::string& port, const std::vector<PortInfo>& known);

}  // namespace quillon::cli
