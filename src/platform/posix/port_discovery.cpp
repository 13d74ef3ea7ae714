// Serial ports and the readout's USB bridge, found in sysfs.
#include "platform/posix/port_discovery.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <system_error>

namespace quillon::posix {

namespace fs = std::filesystem;

namespace {

std::string ReadAttribute(const fs::path& file) {
  std::ifstream in(file);
  std::string value;
  if (!in || !std::getline(in, value)) return {};
  while (!value.empty() && std::isspace(static_cast<unsigned char>(value.back()))) value.pop_back();
  for (char& c : value) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return value;
}

std::string ReadText(const fs::path& file) {
  std::ifstream in(file);
  std::string value;
  if (!in || !std::getline(in, value)) return {};
  while (!value.empty() && std::isspace(static_cast<unsigned char>(value.back()))) value.pop_back();
  return value;
}

// Walks up from the tty's device to the first directory that carries both
// USB ids: the USB device the interface belongs to. Stops at sysRoot.
void FillUsbIds(const fs::path& device, const fs::path& sysRoot, SerialPortInfo& info) {
  std::error_code ec;
  fs::path at = fs::canonical(device, ec);
  if (ec) return;
  fs::path root = fs::canonical(sysRoot, ec);
  if (ec) return;
  for (int depth = 0; depth < 16 && !at.empty(); ++depth) {
    if (fs::exists(at / "idVendor", ec) && fs::exists(at / "idProduct", ec)) {
      info.vendor = ReadAttribute(at / "idVendor");
      info.product = ReadAttribute(at / "idProduct");
      std::string maker = ReadText(at / "manufacturer");
      std::string product = ReadText(at / "product");
      info.description = maker.empty() ? product : (product.empty() ? maker : maker + " " + product);
      return;
    }
    if (at == root || at == at.root_path()) return;
    at = at.parent_path();
  }
}

}  // namespace

std::vector<SerialPortInfo> ListSerialPorts(const std::string& sysRoot, const std::string& devRoot) {
  std::vector<SerialPortInfo> ports;
  std::error_code ec;
  fs::path classDir = fs::path(sysRoot) / "class" / "tty";
  for (fs::directory_iterator it(classDir, ec), end; !ec && it != end; it.increment(ec)) {
    fs::path device = it->path() / "device";
    std::error_code linkError;
    // Virtual terminals and pseudo-terminals have no backing device.
    if (!fs::exists(device, linkError)) continue;
    SerialPortInfo info;
    info.name = it->path().filename().string();
    info.path = (fs::path(devRoot) / info.name).string();
    FillUsbIds(device, sysRoot, info);
    info.bridge = info.vendor == BRIDGE_VENDOR_ID && info.product == BRIDGE_PRODUCT_ID;
    ports.push_back(std::move(info));
  }
  std::sort(ports.begin(), ports.end(),
            [](const SerialPortInfo& a, const SerialPortInfo& b) { return a.name < b.name; });
  return ports;
}

std::vector<SerialPortInfo> FindBridgePorts(const std::string& sysRoot, const std::string& devRoot) {
  std::vector<SerialPortInfo> all = ListSerialPorts(sysRoot, devRoot);
  std::vector<SerialPortInfo> bridges;
  for (auto& port : all) {
    if (port.bridge) bridges.push_back(std::move(port));
  }
  return bridges;
}

}  // namespace quillon::posix
