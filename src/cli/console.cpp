#include "cli/console.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace quillon::cli {

StdConsole::StdConsole()
    : interactive_(::isatty(STDIN_FILENO) != 0 && ::isatty(STDERR_FILENO) != 0),
      errIsTerminal_(::isatty(STDERR_FILENO) != 0) {}

void StdConsole::EndProgressLocked() {
  if (barShown_) {
    std::fputc('\n', stderr);
    std::fflush(stderr);
    barShown_ = false;
  }
}

void StdConsole::Out(const std::string& line) {
  std::lock_guard<std::mutex> lock(mutex_);
  EndProgressLocked();
  std::fprintf(stdout, "%s\n", line.c_str());
  std::fflush(stdout);
}

void StdConsole::Err(const std::string& line) {
  std::lock_guard<std::mutex> lock(mutex_);
  EndProgressLocked();
  std::fprintf(stderr, "%s\n", line.c_str());
  std::fflush(stderr);
}

void StdConsole::Progress(const std::string& line, bool inPlace) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (inPlace && errIsTerminal_) {
    // \r and clear to the end of the line: the bar may have become shorter.
    std::fprintf(stderr, "\r%s\x1b[K", line.c_str());
    barShown_ = true;
  } else {
    EndProgressLocked();
    std::fprintf(stderr, "%s\n", line.c_str());
  }
  std::fflush(stderr);
}

void StdConsole::EndProgress() {
  std::lock_guard<std::mutex> lock(mutex_);
  EndProgressLocked();
}

std::optional<std::string> StdConsole::Ask(const std::string& prompt) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    EndProgressLocked();
    std::fputs(prompt.c_str(), stderr);
    std::fflush(stderr);
  }
  // read(2) rather than a stdio stream: Ctrl-C (installed without SA_RESTART)
  // ends the read with EINTR instead of waiting for the next line.
  std::string line;
  for (;;) {
    char c;
    ssize_t n = ::read(STDIN_FILENO, &c, 1);
    if (n < 0) return std::nullopt;  // EINTR included: the caller sees the interrupt flag
    if (n == 0) {
      if (line.empty()) return std::nullopt;
      return line;
    }
    if (c == '\n') return line;
    line += c;
  }
}

void StdConsole::Bell() {
  if (errIsTerminal_) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::fputc('\a', stderr);
    std::fflush(stderr);
  }
}

}  // namespace quillon::cli
