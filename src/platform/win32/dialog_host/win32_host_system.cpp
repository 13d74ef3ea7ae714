// Win32Host's services of the system: the bridge's port number, error
// texts, and the temporary file the log is exported to and its viewer.
#include <cstring>

#include "core/app/port_selection.h"
#include "platform/port_discovery.h"
#include "platform/win32/dialog_host/win32_host.h"
#include "platform/win32/system_message.h"

namespace quillon::win32 {

namespace {

const char* kBridgeKey =
    "SYSTEM\\CurrentControlSet\\Enum\\USB\\Vid_10C4&Pid_EA60&Mi_00\\0001_00\\Device Parameters\\";

// Reads a text value of at most 99 characters; the buffer is always ended,
// also when the stored value carries no terminator of its own.
bool ReadTextValue(HKEY key, const char* value, char (&buffer)[100]) {
  std::memset(buffer, 0, sizeof buffer);
  DWORD size = sizeof buffer - 1;
  return RegQueryValueExA(key, value, nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), &size) ==
         ERROR_SUCCESS;
}

int PortFromRegistryValue(const char* value) {
  HKEY key = nullptr;
  // Read access is all that is needed; asking for more fails for users
  // without administrator rights.
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kBridgeKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return 0;
  char buffer[100];
  int number = ReadTextValue(key, value, buffer) ? ParsePortName(buffer) : 0;
  RegCloseKey(key);
  return number;
}

}  // namespace

int Win32Host::DetectPortNumber() {
  int number = PortFromRegistryValue("PortName");
  if (number == 0) number = PortFromRegistryValue("Portname");
  if (number != 0) return number;
  // The fixed key names one instance of the bridge only; any other is
  // found among the ports, as quillon.exe finds it (the lowest number of
  // several).
  for (const auto& port : platform::ListSerialPorts()) {
    if (port.bridge) return ParsePortName(port.name);
  }
  return 0;
}

std::string Win32Host::SystemErrorText(int code) {
  // 1024: the user's default language; the text keeps its line end.
  return SystemMessage(static_cast<DWORD>(code), 1024);
}

bool Win32Host::CreateTempFile(const std::string& prefix, std::string& path) {
  char dir[MAX_PATH + 1] = {};
  DWORD length = GetTempPathA(sizeof dir, dir);
  if (length == 0 || length > MAX_PATH) return false;
  char name[MAX_PATH + 1] = {};
  if (!GetTempFileNameA(dir, prefix.empty() ? "qcl" : prefix.c_str(), 0, name)) return false;
  path = name;
  return true;
}

void Win32Host::OpenInViewer(const std::string& path) {
  // Quoted, so a temporary folder with blanks in its name still works.
  std::string command = "notepad \"" + path + "\"";
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = SW_SHOWNORMAL;
  PROCESS_INFORMATION process{};
  if (CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                     &startup, &process)) {
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
  }
}

}  // namespace quillon::win32
