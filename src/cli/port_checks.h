// Checks of a run on several ports, before anything is sent: each readout
// is named once, and each port's received file is a file of its own.
#pragma once

#include <string>
#include <vector>

namespace quillon::cli {

// Why the ports cannot run together (empty when they can): two of them are
// one device, whatever names or links lead to it.
std::string CheckOneNamePerDevice(const std::vector<std::string>& ports);

// Whether port names the same device as one of ports.
bool NamedAlready(const std::vector<std::string>& ports, const std::string& port);

// Why the ports' destinations cannot be written (empty when they can): two
// of them would be the same file, by name or through links.
std::string CheckDistinctDestinations(const std::vector<std::string>& ports,
                                      const std::vector<std::string>& destinations);

}  // namespace quillon::cli
