// Windows side of host_os.h.
#include "platform/host_os.h"

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <cctype>
#include <cerrno>

namespace quillon::platform {

std::FILE* CreateNewFile(const std::string& path) {
  // _O_EXCL is CREATE_NEW: an existing file of that name is never opened.
  int fd = _open(path.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY | _O_NOINHERIT,
                 _S_IREAD | _S_IWRITE);
  if (fd < 0) return nullptr;
  std::FILE* file = _fdopen(fd, "wb");
  if (!file) {
    int error = errno;
    _close(fd);
    DeleteFileA(path.c_str());  // made by this call a moment ago, and empty
    errno = error;
  }
  return file;
}

long CurrentProcessId() { return static_cast<long>(GetCurrentProcessId()); }

bool ProcessRunning(long pid) {
  if (pid <= 0) return true;
  HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(pid));
  // No such process is ERROR_INVALID_PARAMETER; anything else (access
  // denied) means one is there.
  if (!process) return GetLastError() != ERROR_INVALID_PARAMETER;
  DWORD code = 0;
  bool running = !GetExitCodeProcess(process, &code) || code == STILL_ACTIVE;
  CloseHandle(process);
  return running;
}

std::string DeviceIdentity(const std::string& devicePath) {
  // \\.\COM3 and COM3 are one port; the DOS device's target names the device
  // behind an alias.
  const std::string prefix = "\\\\.\\";
  std::string name =
      devicePath.rfind(prefix, 0) == 0 ? devicePath.substr(prefix.size()) : devicePath;
  for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  char target[1024] = {};
  if (QueryDosDeviceA(name.c_str(), target, sizeof target)) return target;
  return name;
}

}  // namespace quillon::platform
