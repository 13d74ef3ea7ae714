// The command line's view of a Windows machine's serial ports: the names a
// user gives as --port, and whether such a port is there.
#include <windows.h>

#include "cli/cli_platform.h"
#include "platform/win32/com_names.h"

namespace quillon::cli {

using win32::IsComName;
using win32::UpperCase;

bool PortPresent(const std::string& port) {
  char target[1024];
  return QueryDosDeviceA(ShortName(port).c_str(), target, sizeof target) != 0;
}

std::string PortKey(const std::string& port) { return UpperCase(ShortName(port)); }

std::string DevicePath(const std::string& port) {
  // COM1 to COM9 open by their bare names too, COM10 and up only in the
  // device namespace; every COM port is given that way for the same path.
  if (IsComName(port)) return "\\\\.\\" + UpperCase(port);
  return port;
}

std::string ShortName(const std::string& port) {
  const std::string prefix = "\\\\.\\";
  std::string name = port.rfind(prefix, 0) == 0 ? port.substr(prefix.size()) : port;
  return IsComName(name) ? UpperCase(name) : name;
}

}  // namespace quillon::cli
