// Finding the machine's serial ports and, among them, the readout's
// USB-to-UART bridge. src/platform/<os>/port_discovery.cpp implements it:
// from the kernel's sysfs tree on POSIX systems, from SetupAPI and the
// registry's serial device map on Windows. Nothing is opened to find the
// ports (opening one moves its modem lines), except to tell whether one is
// in use where the system gives no other way.
#pragma once

#include <string>
#include <vector>

namespace quillon::platform {

constexpr const char* BRIDGE_VENDOR_ID = "10c4";
constexpr const char* BRIDGE_PRODUCT_ID = "ea60";

struct SerialPortInfo {
  std::string name;         // ttyUSB0, COM12
  std::string path;         // the device to open: /dev/ttyUSB0, COM12
  std::string vendor;       // the USB vendor id, lower-case hex; empty when not a USB device
  std::string product;      // the USB product id, lower-case hex
  std::string description;  // maker and product, when the system knows them
  std::string serial;       // the USB device's serial number, when it has one
  // Where the device is plugged in, as a user reads it: on POSIX systems
  // udev's by-path name, else "usb-" and sysfs's name of the USB device
  // (usb-1-1.2: port 2 of the hub on port 1); on Windows its location path
  // ("Port_#0002.Hub_#0001" on older systems).
  std::string location;
  std::string byPath;   // POSIX: /dev/serial/by-path/... leading to the device; else empty
  std::string byId;     // POSIX: /dev/serial/by-id/...; Windows: the device instance id
  bool inUse = false;   // held open by another program (only when listed with checkUse)
  bool bridge = false;  // the readout's bridge (10c4:ea60)
};

// Every serial port with a device behind it (real serial hardware, USB
// adapters; no virtual terminals), sorted by name (on Windows COM2 before
// COM10).
// checkUse finds out which are in use (slower). On POSIX systems the
// variable QUILLON_DEVICE_ROOT puts a tree of the tests' own in place of /
// (ROOT/sys, and ROOT/dev with its serial/by-path and by-id links).
std::vector<SerialPortInfo> ListSerialPorts(bool checkUse = false);

}  // namespace quillon::platform
