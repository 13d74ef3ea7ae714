// One device per readout, one file per port.
#include "cli/port_checks.h"

#include <filesystem>

#include "cli/cli_platform.h"
#include "core/engine/job_files.h"
#include "platform/host_os.h"

namespace quillon::cli {

namespace {

namespace fs = std::filesystem;

// The device behind a port; its name when that cannot be told (opening it
// then says why).
std::string Identity(const std::string& port) {
  std::string identity = platform::DeviceIdentity(DevicePath(port));
  return identity.empty() ? "name:" + DevicePath(port) : identity;
}

// The file a received destination ends up in, as one spelling.
std::string FileOf(const std::string& destination) {
  std::string replaced = ReplacedFile(destination);
  if (replaced.empty()) replaced = destination;
  std::error_code error;
  fs::path absolute = fs::absolute(replaced, error);
  return (error ? fs::path(replaced) : absolute).lexically_normal().string();
}

}  // namespace

std::string CheckOneNamePerDevice(const std::vector<std::string>& ports) {
  for (size_t i = 0; i < ports.size(); ++i) {
    for (size_t j = 0; j < i; ++j) {
      if (Identity(ports[i]) == Identity(ports[j])) {
        return ports[j] + " and " + ports[i] + " are the same port; name each readout once";
      }
    }
  }
  return {};
}

bool NamedAlready(const std::vector<std::string>& ports, const std::string& port) {
  for (const std::string& named : ports) {
    if (Identity(named) == Identity(port)) return true;
  }
  return false;
}

std::string CheckDistinctDestinations(const std::vector<std::string>& ports,
                                      const std::vector<std::string>& destinations) {
  for (size_t i = 0; i < destinations.size(); ++i) {
    for (size_t j = 0; j < i; ++j) {
      if (FileOf(destinations[i]) == FileOf(destinations[j])) {
        return "the ports " + ports[j] + " and " + ports[i] + " would both receive into " +
               destinations[i] + "; name them so their last parts differ";
      }
    }
  }
  return {};
}

}  // namespace quillon::cli
