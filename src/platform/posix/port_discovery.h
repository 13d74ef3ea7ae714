// Finding the readout's USB-to-UART bridge among the serial ports, from the
// kernel's sysfs tree: each /sys/class/tty entry whose device sits under a
// USB device with the bridge's vendor and product ids.
#pragma once

#include <string>
#include <vector>

namespace quillon::posix {

constexpr const char* BRIDGE_VENDOR_ID = "10c4";
constexpr const char* BRIDGE_PRODUCT_ID = "ea60";

struct SerialPortInfo {
  std::string name;         // ttyUSB0
  std::string path;         // /dev/ttyUSB0
  std::string vendor;       // idVendor of the USB device above it, lower case; empty when none
  std::string product;      // idProduct, lower case
  std::string description;  // manufacturer and product strings, when the device has them
  std::string serial;       // the USB device's serial number, when it has one
  std::string usbPort;      // the USB device's place in sysfs: 1-1.2 is port 2 of the hub on port 1
  std::string byPath;       // devRoot/serial/by-path/... naming this device; empty when none
  std::string byId;         // devRoot/serial/by-id/...
  bool inUse = false;   // a process this user can see holds it open (ListSerialPorts with checkUse)
  bool bridge = false;  // the readout's bridge (10c4:ea60)
};

// Every tty with a backing device (real serial hardware, USB adapters),
// sorted by name. sysRoot is "/sys" normally; devRoot "/dev". Both are
// parameters so a test can lay out a tree of its own. checkUse looks
// through /proc for processes holding each device open.
std::vector<SerialPortInfo> ListSerialPorts(const std::string& sysRoot = "/sys",
                                            const std::string& devRoot = "/dev",
                                            bool checkUse = false);

// The ports that are the readout's bridge.
std::vector<SerialPortInfo> FindBridgePorts(const std::string& sysRoot = "/sys",
                                            const std::string& devRoot = "/dev");

}  // namespace quillon::posix
