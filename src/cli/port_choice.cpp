// Choosing the ports of a run, and listing them.
#include "cli/port_choice.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <thread>

#include "cli/json_out.h"
#include "cli/port_checks.h"
#include "cli/reporter.h"
#include "platform/port_discovery.h"

namespace quillon::cli {

std::vector<PortInfo> ListPorts(bool checkUse) {
  std::vector<PortInfo> out;
  for (auto& port : platform::ListSerialPorts(checkUse)) {
    PortInfo info;
    info.path = port.path;
    info.name = port.name;
    if (!port.vendor.empty()) info.ids = port.vendor + ":" + port.product;
    info.description = port.description;
    info.bridge = port.bridge;
    info.serial = port.serial;
    info.location = port.location;
    info.byPath = port.byPath;
    info.byId = port.byId;
    info.inUse = port.inUse;
    out.push_back(std::move(info));
  }
  return out;
}

namespace {

using Clock = std::chrono::steady_clock;
// How often a --wait looks again.
constexpr auto WAIT_POLL = std::chrono::milliseconds(250);

// One line of the port list on standard output.
void PrintListLine(const std::string& text) {
  std::fprintf(stdout, "%s\n", text.c_str());
  std::fflush(stdout);
}

std::string PortJson(const PortInfo& p) {
  auto field = [](const char* name, const std::string& value) {
    return std::string(",\"") + name + "\":" + JsonString(value);
  };
  return "\"event\":\"port\"" + field("port", p.path) + field("name", p.name) +
         field("ids", p.ids) + field("serial", p.serial) + field("location", p.location) +
         field("by_path", p.byPath) + field("by_id", p.byId) + field("description", p.description) +
         ",\"bridge\":" + (p.bridge ? "true" : "false") +
         ",\"in_use\":" + (p.inUse ? "true" : "false");
}

// The readout bridges, socket by socket: by physical location, then name.
std::vector<PortInfo> Bridges() {
  std::vector<PortInfo> bridges;
  for (auto& port : ListPorts()) {
    if (port.bridge) bridges.push_back(std::move(port));
  }
  std::stable_sort(bridges.begin(), bridges.end(), [](const PortInfo& a, const PortInfo& b) {
    if (a.location.empty() != b.location.empty()) return b.location.empty();
    return a.location != b.location ? NaturalLess(a.location, b.location)
                                    : NaturalLess(a.name, b.name);
  });
  return bridges;
}

std::string Describe(const std::vector<PortInfo>& bridges) {
  if (bridges.empty()) return "none";
  std::string text;
  for (const auto& b : bridges) {
    std::string about = b.location;
    if (!b.serial.empty()) about += (about.empty() ? "serial " : ", serial ") + b.serial;
    text += (text.empty() ? "" : "; ") + b.path + (about.empty() ? "" : " (" + about + ")");
  }
  return text;
}

// Why the run cannot start yet (empty: it can). final: no more waiting;
// *code then says how it ends.
std::string NotReady(const Options& o, const std::vector<PortInfo>& bridges, bool final,
                     int* code) {
  *code = EXIT_PORT;
  const size_t found = bridges.size();
  if (o.expect >= 0 && found != static_cast<size_t>(o.expect)) {
    return "expected " + std::to_string(o.expect) + " USB serial bridges 10C4:EA60, found " +
           std::to_string(found) + ": " + Describe(bridges);
  }
  if (!o.ports.empty() && o.waitSeconds > 0 && !final) {
    for (const auto& port : o.ports) {
      if (!PortPresent(port)) return port + " is not there";
    }
  }
  if (!o.ports.empty() || (o.all ? found > 0 : found == 1)) return {};
  if (found == 0) {
    return std::string("no Quillon readout found: no USB serial bridge 10C4:EA60 is connected.") +
           (o.all ? "" : " Connect the readout, or name its port with --port.");
  }
  *code = -EXIT_PORT;  // several: waiting changes nothing
  return "several USB serial bridges 10C4:EA60 are connected; name them with --port or take them "
         "all "
         "with --all: " +
         Describe(bridges);
}

}  // namespace

bool NaturalLess(const std::string& a, const std::string& b) {
  size_t i = 0, j = 0;
  auto digit = [](char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; };
  while (i < a.size() && j < b.size()) {
    if (digit(a[i]) && digit(b[j])) {
      size_t ei = i, ej = j;
      while (ei < a.size() && digit(a[ei])) ++ei;
      while (ej < b.size() && digit(b[ej])) ++ej;
      std::string x = a.substr(i, ei - i), y = b.substr(j, ej - j);
      x.erase(0, std::min(x.find_first_not_of('0'), x.size()));
      y.erase(0, std::min(y.find_first_not_of('0'), y.size()));
      if (x.size() != y.size()) return x.size() < y.size();
      if (x != y) return x < y;
      i = ei, j = ej;
    } else {
      if (a[i] != b[j]) return a[i] < b[j];
      ++i, ++j;
    }
  }
  return a.size() - i < b.size() - j;
}

PortInfo IdentifyPort(const std::string& port, const std::vector<PortInfo>& known) {
  const std::string key = PortKey(port);
  for (const auto& info : known) {
    if (PortKey(info.path) == key) return info;
  }
  PortInfo none;
  none.path = port;
  return none;
}

int ListAllPorts(bool json) {
  auto ports = ListPorts(true);
  if (json) {
    for (const auto& port : ports) JsonEvent(PortJson(port));
    return EXIT_DONE;
  }
  if (ports.empty()) PrintListLine("No serial ports found.");
  for (const auto& port : ports) {
    std::string line = port.path;
    if (!port.ids.empty()) line += "  " + port.ids;
    if (!port.description.empty()) line += "  " + port.description;
    if (port.bridge) line += "  <- Quillon readout bridge";
    PrintListLine(line);
    PrintListLine(std::string("    in use: ") + (port.inUse ? "yes" : "no") +
                  (port.serial.empty() ? "" : "  serial: " + port.serial) +
                  (port.location.empty() ? "" : "  location: " + port.location));
    if (!port.byPath.empty()) PrintListLine("    " + port.byPath);
    if (!port.byId.empty()) PrintListLine("    " + port.byId);
  }
  return EXIT_DONE;
}

int ResolvePorts(const Options& o, const std::atomic<bool>& interrupted,
                 std::vector<std::string>& ports) {
  if (o.expect >= 0 && !o.all)
    return Refuse(EXIT_USAGE, "--expect counts the bridges that --all takes; give --all too");
  const auto deadline =
      Clock::now() + std::chrono::duration_cast<Clock::duration>(
                         std::chrono::duration<double>(std::max(0.0, o.waitSeconds)));
  std::vector<PortInfo> bridges;
  for (bool told = false;;) {
    bridges = Bridges();
    const bool final = Clock::now() >= deadline;
    int code = EXIT_PORT;
    const std::string why = NotReady(o, bridges, final, &code);
    if (why.empty()) break;
    if (final || code < 0) return Refuse(EXIT_PORT, why);
    if (interrupted.load()) return EXIT_INTERRUPTED;
    if (!told) {
      std::fprintf(stderr, "quillon: waiting up to %g s: %s\n", o.waitSeconds, why.c_str());
      std::fflush(stderr);
      told = true;
    }
    std::this_thread::sleep_for(std::min<Clock::duration>(WAIT_POLL, deadline - Clock::now()));
  }
  // A port named twice stays twice: the run refuses it after this.
  ports = o.ports;
  if (!o.ports.empty() && !o.all) return EXIT_DONE;
  for (const auto& bridge : bridges) {
    const bool named = NamedAlready(ports, bridge.path) ||
                       std::any_of(ports.begin(), ports.end(), [&](const std::string& p) {
                         return PortKey(p) == PortKey(bridge.path);
                       });
    if (!named) ports.push_back(bridge.path);
  }
  return EXIT_DONE;
}

}  // namespace quillon::cli
