// Serial ports and the readout's USB bridge, found in sysfs.
#include "platform/port_discovery.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <system_error>

namespace quillon::platform {

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
      info.description =
          maker.empty() ? product : (product.empty() ? maker : maker + " " + product);
      info.serial = ReadText(at / "serial");
      info.location = at.filename().string();
      return;
    }
    if (at == root || at == at.root_path()) return;
    at = at.parent_path();
  }
}

// The names udev gives a device by where it is plugged in (by-path) and by
// what it is (by-id): links in devRoot/serial that lead to the same device.
void FillLinks(const fs::path& devRoot, SerialPortInfo& info) {
  std::error_code ec;
  const fs::path device = fs::canonical(info.path, ec);
  if (ec) return;
  for (const char* kind : {"by-path", "by-id"}) {
    std::string& link = std::string(kind) == "by-path" ? info.byPath : info.byId;
    for (fs::directory_iterator it(devRoot / "serial" / kind, ec), end; !ec && it != end;
         it.increment(ec)) {
      std::error_code linkError;
      if (fs::canonical(it->path(), linkError) == device && !linkError) {
        link = it->path().string();
        break;
      }
    }
  }
}

// Every file this user's processes hold open, as /proc shows them (other
// users' are hidden from an ordinary user). Nothing is opened to find out:
// opening a serial port moves its modem lines.
std::set<fs::path> OpenFiles() {
  std::set<fs::path> open;
  std::error_code ec;
  const std::string self = std::to_string(::getpid());
  for (fs::directory_iterator proc("/proc", ec), end; !ec && proc != end; proc.increment(ec)) {
    const std::string pid = proc->path().filename().string();
    if (pid == self || pid.find_first_not_of("0123456789") != std::string::npos) continue;
    std::error_code fdError;
    for (fs::directory_iterator fd(proc->path() / "fd", fdError), last; !fdError && fd != last;
         fd.increment(fdError)) {
      std::error_code linkError;
      fs::path target = fs::read_symlink(fd->path(), linkError);
      if (!linkError) open.insert(target);
    }
  }
  return open;
}

std::vector<SerialPortInfo> ListUnder(const std::string& sysRoot, const std::string& devRoot,
                                      bool checkUse) {
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
    FillLinks(devRoot, info);
    // Worded as the user reads it: udev's by-path name where udev made one.
    if (!info.byPath.empty()) {
      info.location = fs::path(info.byPath).filename().string();
    } else if (!info.location.empty()) {
      info.location = "usb-" + info.location;
    }
    info.bridge = info.vendor == BRIDGE_VENDOR_ID && info.product == BRIDGE_PRODUCT_ID;
    ports.push_back(std::move(info));
  }
  std::sort(ports.begin(), ports.end(),
            [](const SerialPortInfo& a, const SerialPortInfo& b) { return a.name < b.name; });
  if (checkUse) {
    const std::set<fs::path> open = OpenFiles();
    for (auto& port : ports) {
      std::error_code canonicalError;
      fs::path device = fs::canonical(port.path, canonicalError);
      port.inUse = !canonicalError && open.count(device) > 0;
    }
  }
  return ports;
}

}  // namespace

std::vector<SerialPortInfo> ListSerialPorts(bool checkUse) {
  // QUILLON_DEVICE_ROOT puts a tree of the tests' own in place of /.
  const char* root = std::getenv("QUILLON_DEVICE_ROOT");
  const std::string prefix = root ? root : "";
  return ListUnder(prefix + "/sys", prefix + "/dev", checkUse);
}

}  // namespace quillon::platform
