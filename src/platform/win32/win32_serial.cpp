#include "platform/win32/win32_serial.h"

#include <algorithm>
#include <climits>
#include <mutex>

namespace quillon::win32 {

namespace {

// A write goes out in pieces, each of which must finish within the bound:
// a port that stops taking data (a pulled cable, a stalled driver) ends the
// write with what was sent instead of holding the caller for ever. 1024
// bytes take about 1.1 s even at 9600 baud.
constexpr size_t WRITE_PIECE = 1024;
constexpr DWORD WRITE_STALL_MS = 5000;

// One overlapped record with its own manual-reset event, for one call.
struct OverlappedCall {
  OVERLAPPED ov{};
  OverlappedCall() { ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr); }
  ~OverlappedCall() {
    if (ov.hEvent) CloseHandle(ov.hEvent);
  }
  OverlappedCall(const OverlappedCall&) = delete;
  OverlappedCall& operator=(const OverlappedCall&) = delete;
  bool ok() const { return ov.hEvent != nullptr; }
};

}  // namespace

DCB BuildDcb(const DCB& current, const LineSettings& settings) {
  DCB dcb = current;
  dcb.DCBlength = sizeof(DCB);
  dcb.BaudRate = settings.baudRate;
  dcb.ByteSize = settings.byteSize;
  dcb.Parity = settings.parity;
  dcb.StopBits = settings.stopBits;
  dcb.fBinary = 1;
  dcb.fParity = 1;
  const bool dsrDtr = (settings.flow & FLOW_DSR_DTR) != 0;
  const bool ctsRts = (settings.flow & FLOW_CTS_RTS) != 0;
  const bool xonXoff = (settings.flow & FLOW_XON_XOFF) != 0;
  dcb.fOutxDsrFlow = dsrDtr ? 1 : 0;
  dcb.fDtrControl = dsrDtr ? DTR_CONTROL_HANDSHAKE : DTR_CONTROL_ENABLE;
  dcb.fOutxCtsFlow = ctsRts ? 1 : 0;
  dcb.fRtsControl = ctsRts ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
  dcb.fOutX = xonXoff ? 1 : 0;
  dcb.fInX = xonXoff ? 1 : 0;
  dcb.XonChar = 17;
  dcb.XoffChar = 19;
  dcb.XonLim = 100;
  dcb.XoffLim = 100;
  return dcb;
}

Win32SerialDevice::Win32SerialDevice() {
  cancelEvent_ = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  closeEvent_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
}

Win32SerialDevice::~Win32SerialDevice() {
  Close();
  if (cancelEvent_) CloseHandle(cancelEvent_);
  if (closeEvent_) CloseHandle(closeEvent_);
}

bool Win32SerialDevice::Open(const std::string& name, const LineSettings& settings, int* error) {
  std::unique_lock lock(mutex_);
  if (handle_ != INVALID_HANDLE_VALUE || !cancelEvent_ || !closeEvent_) {
    if (error) *error = ERROR_INVALID_FUNCTION;
    return false;
  }
  HANDLE h = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                         FILE_FLAG_OVERLAPPED | FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    if (error) *error = static_cast<int>(GetLastError());
    return false;
  }
  // The set-up calls' results are not looked at: a driver that refuses one
  // of them still gives a usable port, and the open is what the user sees.
  SetCommMask(h, EV_RXCHAR);
  PurgeComm(h, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
  DCB current{};
  current.DCBlength = sizeof(DCB);
  GetCommState(h, &current);
  DCB wanted = BuildDcb(current, settings);
  SetCommState(h, &wanted);
  EscapeCommFunction(h, SETDTR);
  handle_ = h;
  closing_.store(false);
  ResetEvent(closeEvent_);
  if (error) *error = 0;
  return true;
}

bool Win32SerialDevice::IsOpen() const {
  std::shared_lock lock(mutex_);
  return handle_ != INVALID_HANDLE_VALUE && !closing_.load();
}

void Win32SerialDevice::CancelWait() {
  cancelGeneration_.fetch_add(1);
  if (cancelEvent_) SetEvent(cancelEvent_);
  std::shared_lock lock(mutex_);
  // A new event mask completes any WaitCommEvent pending on the port, also
  // one issued by a thread that has not reached its wait yet.
  if (handle_ != INVALID_HANDLE_VALUE) SetCommMask(handle_, EV_RXCHAR);
}

int Win32SerialDevice::Close() {
  {
    std::shared_lock lock(mutex_);
    if (handle_ == INVALID_HANDLE_VALUE) return 0;
    closing_.store(true);
    if (closeEvent_) SetEvent(closeEvent_);
    SetCommMask(handle_, EV_RXCHAR);
  }
  // Every call in progress now gives up its wait and releases the lock.
  std::unique_lock lock(mutex_);
  if (handle_ == INVALID_HANDLE_VALUE) return 0;
  HANDLE h = handle_;
  handle_ = INVALID_HANDLE_VALUE;
  int result = CloseHandle(h) ? 0 : static_cast<int>(GetLastError());
  return result;
}

bool Win32SerialDevice::SetBaudRate(uint32_t baud) {
  std::shared_lock lock(mutex_);
  if (handle_ == INVALID_HANDLE_VALUE || closing_.load()) return false;
  DCB dcb{};
  dcb.DCBlength = sizeof(DCB);
  if (!GetCommState(handle_, &dcb)) return false;
  dcb.BaudRate = baud;
  return SetCommState(handle_, &dcb) != FALSE;
}

bool Win32SerialDevice::Drain(int, int* error) {
  std::shared_lock lock(mutex_);
  if (handle_ == INVALID_HANDLE_VALUE || closing_.load()) {
    if (error) *error = ERROR_INVALID_HANDLE;
    return false;
  }
  if (FlushFileBuffers(handle_)) return true;
  if (error) *error = static_cast<int>(GetLastError());
  return false;
}

DWORD Win32SerialDevice::QueueCountLocked() {
  DWORD errors = 0;
  COMSTAT status{};
  if (!ClearCommError(handle_, &errors, &status)) return 0;
  return status.cbInQue;
}

size_t Win32SerialDevice::BytesWaiting() {
  std::shared_lock lock(mutex_);
  if (handle_ == INVALID_HANDLE_VALUE || closing_.load()) return 0;
  return QueueCountLocked();
}

void Win32SerialDevice::CancelAndDrain(OVERLAPPED& ov, bool commWait) {
  // Some drivers (and Wine) cannot cancel a serial operation by record; a
  // new event mask ends a comm-event wait, an abort purge a read or write.
  bool cancelled = CancelIoEx(handle_, &ov) != FALSE;
  if (!cancelled || WaitForSingleObject(ov.hEvent, 1000) == WAIT_TIMEOUT) {
    if (commWait) {
      SetCommMask(handle_, EV_RXCHAR);
    } else {
      PurgeComm(handle_, PURGE_TXABORT | PURGE_RXABORT);
    }
  }
  DWORD done = 0;
  // The record must not go out of scope while the driver may still use it.
  GetOverlappedResult(handle_, &ov, &done, TRUE);
}

bool Win32SerialDevice::FinishOverlapped(OVERLAPPED& ov, DWORD* done, DWORD* error, DWORD boundMs) {
  HANDLE waits[2] = {ov.hEvent, closeEvent_};
  DWORD which = WaitForMultipleObjects(2, waits, FALSE, boundMs);
  if (which != WAIT_OBJECT_0) {
    DWORD cause = which == WAIT_OBJECT_0 + 1 ? ERROR_OPERATION_ABORTED
                  : which == WAIT_TIMEOUT    ? ERROR_TIMEOUT
                                             : GetLastError();
    CancelAndDrain(ov, false);
    // What went out before the cancel still counts.
    if (!GetOverlappedResult(handle_, &ov, done, FALSE)) *done = 0;
    *error = cause;
    return false;
  }
  for (;;) {
    if (GetOverlappedResult(handle_, &ov, done, TRUE)) return true;
    DWORD code = GetLastError();
    if (code != ERROR_IO_INCOMPLETE) {
      *error = code;
      return false;
    }
  }
}

size_t Win32SerialDevice::Read(uint8_t* buffer, size_t max) {
  std::shared_lock lock(mutex_);
  if (handle_ == INVALID_HANDLE_VALUE || closing_.load() || max == 0) return 0;
  DWORD queued = QueueCountLocked();
  DWORD count = static_cast<DWORD>(std::min<size_t>({max, queued, static_cast<size_t>(MAXDWORD)}));
  if (count == 0) return 0;
  OverlappedCall call;
  if (!call.ok()) return 0;
  DWORD got = 0;
  if (ReadFile(handle_, buffer, count, &got, &call.ov)) return got;
  DWORD code = GetLastError();
  if (code == ERROR_IO_PENDING) {
    if (FinishOverlapped(call.ov, &got, &code, INFINITE)) return got;
  } else {
    got = 0;
  }
  DWORD errors = 0;
  ClearCommError(handle_, &errors, nullptr);
  return got;
}

size_t Win32SerialDevice::Write(const uint8_t* data, size_t length, int* error) {
  if (error) *error = 0;
  std::shared_lock lock(mutex_);
  if (handle_ == INVALID_HANDLE_VALUE || closing_.load()) {
    if (error) *error = ERROR_INVALID_HANDLE;
    return 0;
  }
  size_t total = 0;
  while (total < length) {
    DWORD chunk = static_cast<DWORD>(std::min(length - total, WRITE_PIECE));
    OverlappedCall call;
    if (!call.ok()) {
      if (error) *error = static_cast<int>(GetLastError());
      return total;
    }
    DWORD written = 0;
    BOOL ok = WriteFile(handle_, data + total, chunk, &written, &call.ov);
    DWORD code = ok ? ERROR_SUCCESS : GetLastError();
    // As the line's own write wait: a pending write is waited for; any other
    // failure clears the port's error state and ends the write.
    if (!ok && code == ERROR_IO_PENDING) {
      written = 0;
      ok = FinishOverlapped(call.ov, &written, &code, WRITE_STALL_MS) ? TRUE : FALSE;
    }
    if (!ok) {
      DWORD errors = 0;
      ClearCommError(handle_, &errors, nullptr);
      if (error) *error = static_cast<int>(code);
      return total + written;
    }
    total += written;
    if (written < chunk) break;  // the driver took less (a write time-out)
  }
  return total;
}

WaitResult Win32SerialDevice::WaitForData(int timeoutMs, int* error) {
  if (error) *error = 0;
  const unsigned generation = cancelGeneration_.load();
  std::shared_lock lock(mutex_);
  if (handle_ == INVALID_HANDLE_VALUE || closing_.load()) return WaitResult::CANCELLED;
  const ULONGLONG deadline =
      timeoutMs < 0 ? 0 : GetTickCount64() + static_cast<ULONGLONG>(timeoutMs);
  auto cancelled = [&] { return closing_.load() || cancelGeneration_.load() != generation; };

  for (;;) {
    if (cancelled()) return WaitResult::CANCELLED;
    // Bytes that arrived before the wait raise no new event.
    if (QueueCountLocked() > 0) return WaitResult::DATA;
    OverlappedCall call;
    if (!call.ok()) {
      if (error) *error = static_cast<int>(GetLastError());
      return WaitResult::FAILED;
    }
    DWORD mask = 0;
    if (!WaitCommEvent(handle_, &mask, &call.ov)) {
      DWORD code = GetLastError();
      if (code != ERROR_IO_PENDING) {
        DWORD errors = 0;
        ClearCommError(handle_, &errors, nullptr);
        if (error) *error = static_cast<int>(code);
        return WaitResult::FAILED;
      }
      // Bytes may have come between the queue check and the wait.
      if (QueueCountLocked() > 0) {
        CancelAndDrain(call.ov, true);
        return WaitResult::DATA;
      }
      HANDLE waits[3] = {call.ov.hEvent, cancelEvent_, closeEvent_};
      bool completed = false;
      while (!completed) {
        DWORD bound = INFINITE;
        if (timeoutMs >= 0) {
          ULONGLONG now = GetTickCount64();
          bound = now >= deadline ? 0 : static_cast<DWORD>(std::min<ULONGLONG>(deadline - now, INFINITE - 1));
        }
        DWORD which = WaitForMultipleObjects(3, waits, FALSE, bound);
        if (which == WAIT_OBJECT_0) {
          completed = true;
        } else if (which == WAIT_OBJECT_0 + 1 && !cancelled()) {
          continue;  // a cancel meant for an earlier wait
        } else {
          CancelAndDrain(call.ov, true);
          if (which == WAIT_TIMEOUT) return WaitResult::TIMEOUT;
          if (which == WAIT_OBJECT_0 + 1 || which == WAIT_OBJECT_0 + 2) return WaitResult::CANCELLED;
          if (error) *error = static_cast<int>(GetLastError());
          return WaitResult::FAILED;
        }
      }
      DWORD done = 0;
      if (!GetOverlappedResult(handle_, &call.ov, &done, TRUE)) {
        DWORD failure = GetLastError();
        DWORD errors = 0;
        ClearCommError(handle_, &errors, nullptr);
        if (cancelled()) return WaitResult::CANCELLED;
        // Wine ends a wait cut short by an event-mask change this way, where
        // Windows completes it with a zero mask: wait again.
        if (failure == ERROR_OPERATION_ABORTED) continue;
        if (error) *error = static_cast<int>(failure);
        return WaitResult::FAILED;
      }
    }
    // A zero mask means someone changed the event mask: a cancel, a close,
    // or another caller's; in the last case wait again.
    if (mask != 0) return WaitResult::DATA;
    if (timeoutMs >= 0 && GetTickCount64() >= deadline) return WaitResult::TIMEOUT;
  }
}

bool Win32SerialDevice::GetCts(bool* cts) {
  std::shared_lock lock(mutex_);
  if (handle_ == INVALID_HANDLE_VALUE || closing_.load()) return false;
  DWORD status = 0;
  if (!GetCommModemStatus(handle_, &status)) return false;
  if (cts) *cts = (status & MS_CTS_ON) != 0;
  return true;
}

void Win32SerialDevice::SetDtr(bool on) {
  std::shared_lock lock(mutex_);
  if (handle_ == INVALID_HANDLE_VALUE || closing_.load()) return;
  EscapeCommFunction(handle_, on ? SETDTR : CLRDTR);
}

void Win32SerialDevice::ClearError() {
  std::shared_lock lock(mutex_);
  if (handle_ == INVALID_HANDLE_VALUE) return;
  DWORD errors = 0;
  ClearCommError(handle_, &errors, nullptr);
}

std::shared_ptr<SerialDevice> Win32SerialFactory::Create() {
  return std::make_shared<Win32SerialDevice>();
}

std::string Win32SerialFactory::PortName(int number) {
  return "\\\\.\\COM" + std::to_string(number);
}

}  // namespace quillon::win32
