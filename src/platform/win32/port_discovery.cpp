// The serial ports of a Windows machine, from SetupAPI and the registry's
// serial device map, with what identifies each readout's socket: the USB
// serial number (the device instance id's last part) and the location path.
#include "platform/port_discovery.h"

#include <windows.h>

// After windows.h: setupapi.h builds on its types.
#include <setupapi.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <tuple>
#include <utility>

#include "platform/win32/com_names.h"

namespace quillon::platform {

namespace {

using win32::IsComName;
using win32::UpperCase;

// The two device lists that hold COM ports: the Ports setup class (every
// serial and parallel port) and the COM port interface (drivers that
// register one without being in that class).
const GUID kPortsClass = {
    0x4D36E978, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};
const GUID kComPortInterface = {
    0x86E0D1E0, 0x8089, 0x11D0, {0x9C, 0xE4, 0x08, 0x00, 0x3E, 0x30, 0x1F, 0x73}};

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// The vendor and product ids, lower case, from a hardware id such as
// USB\VID_10C4&PID_EA60&REV_0100 or FTDIBUS\COMPORT&VID_0403&PID_6001; false
// when it names no USB ids.
bool IdsFromHardwareId(const std::string& hardwareId, SerialPortInfo& port) {
  const std::string upper = UpperCase(hardwareId);
  auto field = [&](const char* key) -> std::string {
    size_t at = upper.find(key);
    if (at == std::string::npos) return {};
    std::string value = upper.substr(at + std::strlen(key), 4);
    if (value.size() != 4 || !std::all_of(value.begin(), value.end(), [](char c) {
          return std::isxdigit(static_cast<unsigned char>(c)) != 0;
        })) {
      return {};
    }
    return Lower(value);
  };
  std::string vendor = field("VID_");
  std::string product = field("PID_");
  if (vendor.empty() || product.empty()) return false;
  port.vendor = std::move(vendor);
  port.product = std::move(product);
  return true;
}

// A registry text value; empty when missing or not text. The stored value
// need not carry its terminator.
std::string ReadText(HKEY key, const char* value) {
  char buffer[256] = {};
  DWORD size = sizeof buffer - 1;
  DWORD type = 0;
  if (RegQueryValueExA(key, value, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size) !=
          ERROR_SUCCESS ||
      (type != REG_SZ && type != REG_EXPAND_SZ)) {
    return {};
  }
  return std::string(buffer, strnlen(buffer, sizeof buffer));
}

// A device's registry property as text; a list of texts (the hardware ids)
// comes back as its items.
std::vector<std::string> DeviceProperty(HDEVINFO devices, SP_DEVINFO_DATA& info, DWORD property) {
  char buffer[2048] = {};
  DWORD type = 0;
  // Two bytes are kept back, so a list always ends in two zeros.
  if (!SetupDiGetDeviceRegistryPropertyA(devices, &info, property, &type,
                                         reinterpret_cast<BYTE*>(buffer), sizeof buffer - 2,
                                         nullptr)) {
    return {};
  }
  std::vector<std::string> items;
  for (const char* item = buffer; *item && item < buffer + sizeof buffer;
       item += std::strlen(item) + 1) {
    items.emplace_back(item);
    if (type != REG_MULTI_SZ) break;
  }
  return items;
}

void AddPort(std::vector<SerialPortInfo>& ports, SerialPortInfo info) {
  for (const auto& known : ports) {
    if (UpperCase(known.name) == UpperCase(info.name)) return;  // the same port in both lists
  }
  ports.push_back(std::move(info));
}

// The device instance id (USB\VID_10C4&PID_EA60\0001), whose last part is
// the USB serial number unless Windows made one up (it then holds '&'), and
// where the device is plugged in: its location path, or the older location
// text ("Port_#0002.Hub_#0001").
void FillIdentity(HDEVINFO devices, SP_DEVINFO_DATA& info, SerialPortInfo& port) {
  char id[512] = {};
  if (SetupDiGetDeviceInstanceIdA(devices, &info, id, sizeof id - 1, nullptr)) {
    port.byId = id;
    const std::string instance = id;
    const size_t last = instance.find_last_of('\\');
    if (UpperCase(instance).rfind("USB\\", 0) == 0 && last != std::string::npos &&
        instance.find('&', last) == std::string::npos) {
      port.serial = instance.substr(last + 1);
    }
  }
  auto location = DeviceProperty(devices, info, SPDRP_LOCATION_PATHS);
  if (location.empty()) location = DeviceProperty(devices, info, SPDRP_LOCATION_INFORMATION);
  if (!location.empty()) port.location = location.front();
}

// A COM port that cannot be opened because another program has it. Windows
// gives no other way to tell; the open is let go at once.
bool InUse(const std::string& name) {
  HANDLE handle = CreateFileA(("\\\\.\\" + name).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, 0, nullptr);
  if (handle != INVALID_HANDLE_VALUE) {
    CloseHandle(handle);
    return false;
  }
  return GetLastError() == ERROR_ACCESS_DENIED;
}

// The first hardware id that names USB ids decides; the bridge is the one
// with the readout's.
void FillIds(HDEVINFO devices, SP_DEVINFO_DATA& info, SerialPortInfo& port) {
  for (const auto& id : DeviceProperty(devices, info, SPDRP_HARDWAREID)) {
    if (IdsFromHardwareId(id, port)) break;
  }
  port.bridge = port.vendor == BRIDGE_VENDOR_ID && port.product == BRIDGE_PRODUCT_ID;
}

void AddFromDeviceList(std::vector<SerialPortInfo>& ports, const GUID& guid, DWORD flags) {
  HDEVINFO devices = SetupDiGetClassDevsA(&guid, nullptr, nullptr, flags);
  if (devices == INVALID_HANDLE_VALUE) return;
  SP_DEVINFO_DATA info{};
  info.cbSize = sizeof info;
  for (DWORD i = 0; SetupDiEnumDeviceInfo(devices, i, &info); ++i) {
    HKEY key = SetupDiOpenDevRegKey(devices, &info, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
    if (key == INVALID_HANDLE_VALUE) continue;
    std::string name = ReadText(key, "PortName");
    RegCloseKey(key);
    if (!IsComName(name)) continue;  // LPT1 and the like share the Ports class
    SerialPortInfo port;
    port.name = UpperCase(name);
    port.path = port.name;
    FillIds(devices, info, port);
    FillIdentity(devices, info, port);
    auto friendly = DeviceProperty(devices, info, SPDRP_FRIENDLYNAME);
    if (friendly.empty()) friendly = DeviceProperty(devices, info, SPDRP_DEVICEDESC);
    if (!friendly.empty()) port.description = friendly.front();
    AddPort(ports, std::move(port));
  }
  SetupDiDestroyDeviceInfoList(devices);
}

// The serial device map names ports that have no Plug and Play record:
// old drivers, virtual port pairs, and Wine's ports.
void AddFromDeviceMap(std::vector<SerialPortInfo>& ports) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) !=
      ERROR_SUCCESS) {
    return;
  }
  for (DWORD i = 0;; ++i) {
    char value[256] = {};
    DWORD valueSize = sizeof value;
    char data[256] = {};
    DWORD dataSize = sizeof data - 1;
    DWORD type = 0;
    LONG result = RegEnumValueA(key, i, value, &valueSize, nullptr, &type,
                                reinterpret_cast<BYTE*>(data), &dataSize);
    if (result == ERROR_MORE_DATA) continue;  // not a port name, whatever it is
    if (result != ERROR_SUCCESS) break;
    std::string name(data, strnlen(data, sizeof data));
    if (type != REG_SZ || !IsComName(name)) continue;
    SerialPortInfo port;
    port.name = UpperCase(name);
    port.path = port.name;
    AddPort(ports, std::move(port));
  }
  RegCloseKey(key);
}

// COM2 before COM10: the letters, then the number, then the whole name.
bool PortOrder(const SerialPortInfo& a, const SerialPortInfo& b) {
  auto split = [](const std::string& name) {
    size_t digits = name.find_last_not_of("0123456789") + 1;
    std::string stem = UpperCase(name.substr(0, digits));
    std::string number = name.substr(digits);
    number.erase(0, std::min(number.find_first_not_of('0'), number.size()));
    return std::make_tuple(stem, number.size(), number);
  };
  auto ka = split(a.name);
  auto kb = split(b.name);
  if (ka != kb) return ka < kb;
  return a.name < b.name;
}

}  // namespace

std::vector<SerialPortInfo> ListSerialPorts(bool checkUse) {
  std::vector<SerialPortInfo> ports;
  // Any of these may list nothing (no rights, a bare system, Wine); each
  // adds what it finds.
  AddFromDeviceList(ports, kPortsClass, DIGCF_PRESENT);
  AddFromDeviceList(ports, kComPortInterface, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  AddFromDeviceMap(ports);
  std::sort(ports.begin(), ports.end(), PortOrder);
  if (checkUse) {
    for (auto& port : ports) port.inUse = InUse(port.name);
  }
  return ports;
}

}  // namespace quillon::platform
