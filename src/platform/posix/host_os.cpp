// POSIX side of host_os.h.
#include "platform/host_os.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace quillon::platform {

std::FILE* CreateNewFile(const std::string& path) {
  // O_EXCL also refuses a link of that name, so no file is ever reached
  // through one; the mode is narrowed by the umask as for any new file.
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0) return nullptr;
  std::FILE* file = ::fdopen(fd, "wb");
  if (!file) {
    int error = errno;
    ::close(fd);
    ::unlink(path.c_str());  // made by this call a moment ago, and empty
    errno = error;
  }
  return file;
}

long CurrentProcessId() { return static_cast<long>(::getpid()); }

bool ProcessRunning(long pid) {
  if (pid <= 0) return true;
  // EPERM: it runs, under another user.
  return ::kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH;
}

std::string DeviceIdentity(const std::string& devicePath) {
  struct stat st {};
  if (::stat(devicePath.c_str(), &st) != 0) return {};
  // Two nodes of one character device share its device number.
  if (S_ISCHR(st.st_mode)) {
    return "c:" + std::to_string(static_cast<unsigned long long>(st.st_rdev));
  }
  return "f:" + std::to_string(static_cast<unsigned long long>(st.st_dev)) + ":" +
         std::to_string(static_cast<unsigned long long>(st.st_ino));
}

}  // namespace quillon::platform
