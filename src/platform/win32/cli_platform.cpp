// The command line's operating-system services on Windows.
#include "cli/cli_platform.h"

#include <io.h>
#include <windows.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
#include <tuple>

#include "platform/win32/system_message.h"
#include "platform/win32/win32_serial.h"

#ifndef ENABLE_VIRTUAL_TERMINAL_PROCESSING
#define ENABLE_VIRTUAL_TERMINAL_PROCESSING 0x0004
#endif

namespace quillon::cli {

namespace {

bool IsConsole(DWORD which) {
  DWORD mode = 0;
  HANDLE handle = GetStdHandle(which);
  return handle != nullptr && handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode) != 0;
}

// Set when the console cannot take ANSI sequences: progress then goes out
// as plain lines.
std::atomic<bool> g_plainConsole{false};
// The error stream's console mode before PrepareTerminal, put back at exit;
// the console belongs to the shell that started the program.
std::atomic<DWORD> g_savedErrMode{0};
std::atomic<bool> g_restoreErrMode{false};

void RestoreConsoleMode() {
  if (g_restoreErrMode.load()) SetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), g_savedErrMode.load());
}

// Some consoles (Wine's) take the flag for ANSI sequences and still write
// the sequences out as text. A harmless one written to a screen buffer that
// is never shown tells: the cursor stays put only when it was understood.
// When no such buffer can be made, the flag is trusted.
bool ConsoleInterpretsSequences() {
  HANDLE probe =
      CreateConsoleScreenBuffer(GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, CONSOLE_TEXTMODE_BUFFER, nullptr);
  if (probe == INVALID_HANDLE_VALUE) return true;
  bool understood = true;
  DWORD mode = 0;
  CONSOLE_SCREEN_BUFFER_INFO before{};
  CONSOLE_SCREEN_BUFFER_INFO after{};
  DWORD written = 0;
  const char reset[] = "\x1b[m";
  if (GetConsoleMode(probe, &mode) && SetConsoleMode(probe, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) &&
      GetConsoleScreenBufferInfo(probe, &before) &&
      WriteConsoleA(probe, reset, sizeof reset - 1, &written, nullptr) &&
      GetConsoleScreenBufferInfo(probe, &after)) {
    understood = after.dwCursorPosition.X == before.dwCursorPosition.X &&
                 after.dwCursorPosition.Y == before.dwCursorPosition.Y;
  }
  CloseHandle(probe);
  return understood;
}

// The interrupt callback, set once. Never freed: the system's handler
// thread may be running it while the process ends.
std::atomic<std::function<void()>*> g_onInterrupt{nullptr};

// What Windows allows a console program after a close, log-off or shutdown
// event before it ends the process itself (5 s), less a margin.
constexpr DWORD CLOSE_GRACE_MS = 4500;

BOOL WINAPI OnConsoleEvent(DWORD event) {
  std::function<void()>* onInterrupt = g_onInterrupt.load();
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
      if (onInterrupt) (*onInterrupt)();
      return TRUE;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      if (onInterrupt) (*onInterrupt)();
      // The process is ended as soon as this returns. Holding on lets the
      // runs stop and clean up; main's return ends the process before this
      // wait does when they are quicker.
      Sleep(CLOSE_GRACE_MS);
      return TRUE;
    default:
      return FALSE;
  }
}

// Standard input is read by a thread of its own, one line at a time as
// lines are asked for, so that a caller can give up on a console, a pipe
// and a file alike while the read itself blocks.
struct StdinReader {
  std::mutex mutex;
  std::condition_variable changed;
  bool wanted = false;  // a caller waits for a line
  bool ended = false;   // end of input (or it cannot be read)
  std::deque<std::string> lines;
  std::string partial;  // text after the last line end
};

void TakeLines(StdinReader& r, const char* data, size_t size, bool console) {
  for (size_t i = 0; i < size; ++i) {
    if (data[i] != '\n') {
      r.partial += data[i];
      continue;
    }
    std::string line = std::move(r.partial);
    r.partial.clear();
    if (!line.empty() && line.back() == '\r') line.pop_back();
    // Ctrl-Z alone on a line ends console input, as everywhere on Windows.
    if (console && line == "\x1a") {
      r.ended = true;
      return;
    }
    r.lines.push_back(std::move(line));
  }
}

void ReadStdin(StdinReader* r) {
  HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  const bool console = IsConsole(STD_INPUT_HANDLE);
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(r->mutex);
      r->changed.wait(lock, [&] { return r->wanted && r->lines.empty() && !r->ended; });
    }
    char buffer[512];
    DWORD got = 0;
    SetLastError(ERROR_SUCCESS);
    BOOL ok = in != nullptr && in != INVALID_HANDLE_VALUE && ReadFile(in, buffer, sizeof buffer, &got, nullptr);
    DWORD error = GetLastError();
    std::lock_guard<std::mutex> lock(r->mutex);
    if (error == ERROR_OPERATION_ABORTED && got == 0) {
      // Ctrl-C cuts a console read short. Only a new request reads again,
      // so a console that keeps failing this way cannot make this spin.
      r->wanted = false;
      continue;
    }
    if (!ok || got == 0) {
      if (!r->partial.empty()) r->lines.push_back(std::move(r->partial));
      r->partial.clear();
      r->ended = true;
    } else {
      TakeLines(*r, buffer, got, console);
    }
    if (!r->lines.empty() || r->ended) r->wanted = false;
    r->changed.notify_all();
    if (r->ended) return;
  }
}

StdinReader& Stdin() {
  // Never freed: the thread may still be blocked in its read at exit.
  static StdinReader* reader = [] {
    auto* r = new StdinReader;
    std::thread(ReadStdin, r).detach();
    return r;
  }();
  return *reader;
}

}  // namespace

std::unique_ptr<SerialFactory> MakeSerialFactory() { return std::make_unique<win32::Win32SerialFactory>(); }

std::string SystemErrorText(int code) {
  if (code == 0) return {};
  std::string result = win32::SystemMessage(static_cast<DWORD>(code), 0);
  while (!result.empty() &&
         (result.back() == '\r' || result.back() == '\n' || result.back() == ' ')) {
    result.pop_back();
  }
  return result;
}

std::string DescribeOpenError(int code) {
  switch (code) {
    case 0:
      return {};
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_DEV_NOT_EXIST:
      return "the port does not exist (is the readout connected? `quillon ports` lists the ports)";
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_BUSY:
      return "the port is in use by another program; close that program or its connection first";
    case ERROR_INVALID_NAME:
    case ERROR_BAD_PATHNAME:
      return "not a port name; give the port as COM12";
    case ERROR_GEN_FAILURE:
    case ERROR_NOT_READY:
      return "the port's driver does not answer; unplug the readout's cable and plug it in again";
    default: {
      std::string text = SystemErrorText(code);
      return text.empty() ? "error " + std::to_string(code) : text;
    }
  }
}

std::string HostName() {
  char name[MAX_COMPUTERNAME_LENGTH + 1] = {};
  DWORD size = sizeof name;
  return GetComputerNameA(name, &size) ? std::string(name, size) : "unknown";
}

bool SyncFile(std::FILE* file, std::string* why) {
  if (std::fflush(file) != 0) {
    *why = std::strerror(errno);
    return false;
  }
  HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
  if (handle == INVALID_HANDLE_VALUE || !FlushFileBuffers(handle)) {
    *why = SystemErrorText(static_cast<int>(GetLastError()));
    return false;
  }
  return true;
}

bool StdinIsTerminal() { return IsConsole(STD_INPUT_HANDLE); }

bool StderrIsTerminal() { return IsConsole(STD_ERROR_HANDLE) && !g_plainConsole.load(); }

int TerminalWidth() {
  CONSOLE_SCREEN_BUFFER_INFO info{};
  if (GetConsoleScreenBufferInfo(GetStdHandle(STD_ERROR_HANDLE), &info)) {
    int width = info.srWindow.Right - info.srWindow.Left + 1;
    if (width > 0) return width;
  }
  return 80;
}

void PrepareTerminal() {
  HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
  DWORD mode = 0;
  if (err == nullptr || err == INVALID_HANDLE_VALUE || !GetConsoleMode(err, &mode)) return;
  if (!(mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING)) {
    // Consoles before Windows 10 refuse the flag: they would print the
    // progress rows' escape sequences as text.
    if (!SetConsoleMode(err, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING)) {
      g_plainConsole.store(true);
      return;
    }
    g_savedErrMode.store(mode);
    g_restoreErrMode.store(true);
    std::atexit(RestoreConsoleMode);
  }
  if (!ConsoleInterpretsSequences()) g_plainConsole.store(true);
}

void WatchInterrupts(std::function<void()> onInterrupt) {
  // The system calls the handler on a thread of its own, so the reaction
  // runs in ordinary code: it may lock, log and wake waiters.
  g_onInterrupt.store(new std::function<void()>(std::move(onInterrupt)));
  SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

std::optional<std::string> ReadLine(const std::atomic<bool>& interrupted) {
  StdinReader& r = Stdin();
  std::unique_lock<std::mutex> lock(r.mutex);
  for (;;) {
    if (interrupted.load()) return std::nullopt;
    if (!r.lines.empty()) {
      std::string line = std::move(r.lines.front());
      r.lines.pop_front();
      return line;
    }
    if (r.ended) return std::nullopt;
    r.wanted = true;
    r.changed.notify_all();
    // A tenth of a second at a time, so an interrupt is seen quickly.
    r.changed.wait_for(lock, std::chrono::milliseconds(100));
  }
}

}  // namespace quillon::cli
