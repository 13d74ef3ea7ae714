// Error texts, temporary files and the text viewer on POSIX systems.
#include "platform/posix/posix_system.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace quillon::posix {

namespace {

// strerror_r comes in two kinds (GNU returns the text, XSI fills the buffer);
// these two overloads take whichever the C library has.
[[maybe_unused]] std::string ErrorText(const char* text, const char*) { return text; }
[[maybe_unused]] std::string ErrorText(int rc, const char* buffer) {
  return rc == 0 ? std::string(buffer) : std::string();
}

bool IsSet(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0';
}

}  // namespace

std::string SystemErrorText(int code) {
  if (code == 0) return std::string();
  char buffer[256] = {};
  return ErrorText(::strerror_r(code, buffer, sizeof buffer), buffer);
}

bool CreateTempFile(const std::string& prefix, std::string& path) {
  const char* dir = std::getenv("TMPDIR");
  std::string name = (dir != nullptr && *dir != '\0') ? dir : "/tmp";
  if (name.back() != '/') name += '/';
  for (char c : prefix) name += (c == '/') ? '_' : c;
  name += "XXXXXX";
  std::vector<char> buffer(name.begin(), name.end());
  buffer.push_back('\0');
  int fd = ::mkstemp(buffer.data());
  if (fd < 0) return false;
  ::close(fd);
  path = buffer.data();
  return true;
}

void OpenInViewer(const std::string& path, const std::function<void(const std::string&)>& report) {
  if (!IsSet("DISPLAY") && !IsSet("WAYLAND_DISPLAY")) {
    report(path);
    return;
  }
  // Everything the children need is made before the fork: after it only
  // async-signal-safe calls are allowed in a threaded program.
  std::string program = "xdg-open";
  // A name that begins with '-' would be taken for an option.
  std::string argument = (!path.empty() && path[0] == '-') ? "./" + path : path;
  char* argv[] = {program.data(), argument.data(), nullptr};
  // The grandchild reports a failed exec through this pipe; a successful
  // exec closes it (close-on-exec), so the parent reads nothing.
  int status[2];
  if (::pipe2(status, O_CLOEXEC) != 0) {
    report(path);
    return;
  }
  pid_t child = ::fork();
  if (child < 0) {
    ::close(status[0]);
    ::close(status[1]);
    report(path);
    return;
  }
  if (child == 0) {
    // The middle child exits at once, so the viewer is no child of ours and
    // leaves no zombie behind whatever it does.
    ::close(status[0]);
    pid_t grandchild = ::fork();
    if (grandchild != 0) {
      if (grandchild < 0) {
        int code = errno;
        (void)!::write(status[1], &code, sizeof code);
      }
      ::_exit(0);
    }
    ::setsid();
    ::execvp(argv[0], argv);
    int code = errno;
    (void)!::write(status[1], &code, sizeof code);
    ::_exit(127);
  }
  ::close(status[1]);
  while (::waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
  }
  int code = 0;
  ssize_t got;
  do {
    got = ::read(status[0], &code, sizeof code);
  } while (got < 0 && errno == EINTR);
  ::close(status[0]);
  if (got != 0) report(path);
}

}  // namespace quillon::posix
