// The command line's operating-system services on POSIX systems.
#include "cli/cli_platform.h"

#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <thread>

#include "platform/posix/posix_serial.h"
#include "platform/posix/posix_system.h"

namespace quillon::cli {

std::string DevicePath(const std::string& port) { return port; }

bool PortPresent(const std::string& port) { return ::access(port.c_str(), F_OK) == 0; }

std::string PortKey(const std::string& port) {
  std::error_code error;
  std::filesystem::path device = std::filesystem::canonical(port, error);
  return error ? port : device.string();
}

std::string HostName() {
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0) return "unknown";
  return name;
}

bool SyncFile(std::FILE* file, std::string* why) {
  if (std::fflush(file) != 0 || ::fsync(::fileno(file)) != 0) {
    *why = std::strerror(errno);
    return false;
  }
  return true;
}

std::string ShortName(const std::string& port) {
  size_t slash = port.find_last_of('/');
  return slash == std::string::npos ? port : port.substr(slash + 1);
}

std::unique_ptr<SerialFactory> MakeSerialFactory() {
  return std::make_unique<posix::PosixSerialFactory>();
}

std::string SystemErrorText(int code) { return posix::SystemErrorText(code); }

std::string DescribeOpenError(int code) {
  switch (code) {
    case 0:
      return {};
    case ENOENT:
    case ENODEV:
    case ENXIO:
      return "the port does not exist (is the readout connected?)";
    case EACCES:
    case EPERM:
      return "permission denied; add yourself to the dialout group (sudo usermod -aG dialout "
             "$USER, then log in again) or install the udev rule 60-quillon.rules";
    case EBUSY:
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
    case EAGAIN:
      return "the port is busy: another program has it open";
    case ENOTTY:
      return "it is not a serial port";
    default:
      return std::strerror(code);
  }
}

bool StdinIsTerminal() { return ::isatty(STDIN_FILENO) != 0; }
bool StderrIsTerminal() { return ::isatty(STDERR_FILENO) != 0; }

int TerminalWidth() {
  winsize size{};
  if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
  return 80;
}

void PrepareTerminal() {
  // A closed pipe or terminal (quillon ... | head -1) must not end a flash
  // half way: writes to it fail with EPIPE instead, and the job goes on.
  ::signal(SIGPIPE, SIG_IGN);
}

void WatchInterrupts(std::function<void()> onInterrupt) {
  // The signals are taken by a thread of their own with sigwait, so the
  // reaction runs in ordinary code: it may lock, log and wake waiters.
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  std::thread([set, onInterrupt = std::move(onInterrupt)] {
    for (;;) {
      int signal = 0;
      if (sigwait(&set, &signal) == 0) onInterrupt();
    }
  }).detach();
}

std::optional<std::string> ReadLine(const std::atomic<bool>& interrupted) {
  std::string line;
  for (;;) {
    if (interrupted.load()) return std::nullopt;
    // Polled, so an interrupt is seen within a tenth of a second.
    pollfd in{STDIN_FILENO, POLLIN, 0};
    int ready = ::poll(&in, 1, 100);
    if (ready < 0 && errno != EINTR) return std::nullopt;
    if (ready <= 0) continue;
    char c;
    ssize_t n = ::read(STDIN_FILENO, &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return line.empty() ? std::nullopt : std::optional<std::string>(line);
    if (c == '\n') return line;
    line += c;
  }
}

}  // namespace quillon::cli
