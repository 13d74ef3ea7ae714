// The serial port on Windows: overlapped I/O with every wait bounded.
#include "platform/win32/win32_serial.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstring>
#include <mutex>
#include <optional>

namespace quillon::win32 {

namespace {

// A write goes out in pieces, each of which must finish within the bound:
// a port that stops taking data (a pulled cable, a stalled driver) ends the
// write with what was sent instead of holding the caller for ever. 1024
// bytes take about 1.1 s even at 9600 baud.
constexpr size_t WRITE_PIECE = 1024;
constexpr DWORD WRITE_STALL_MS = 5000;
// A read asks only for bytes already queued, so it should end at once.
constexpr DWORD READ_BOUND_MS = 2000;
// How long a driver may take to let go of a record after each of the two
// ways of cancelling it.
constexpr DWORD CANCEL_MS = 750;
// How long Close waits for calls in progress to step off the port; each of
// their waits ends on the close within two cancel steps.
constexpr DWORD CLOSE_BOUND_MS = 3000;

// What drivers answer once their device is gone (a USB adapter pulled):
// usbser and vendor drivers differ, Wine gives ERROR_NOT_READY for a tty
// that hung up.
bool IsRemoval(DWORD code) {
  switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_ACCESS_DENIED:
    case ERROR_NOT_READY:
    case ERROR_BAD_COMMAND:
    case ERROR_GEN_FAILURE:
    case ERROR_DEV_NOT_EXIST:
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_DEVICE_REMOVED:
      return true;
    default:
      return false;
  }
}

// The results of a bound that passed and of a cancel or close, with the
// system's codes for them.
constexpr SerialResult TIMED_OUT{SerialStatus::TIMEOUT, ERROR_TIMEOUT};
constexpr SerialResult CANCELLED{SerialStatus::CANCELLED, ERROR_OPERATION_ABORTED};

}  // namespace

// The end of a wait: none when its timeout is negative.
struct Win32SerialDevice::WaitBound {
  explicit WaitBound(int timeoutMs)
      : bounded(timeoutMs >= 0),
        deadline(GetTickCount64() + static_cast<ULONGLONG>(std::max(timeoutMs, 0))) {}
  // What is left of the bound, for a wait call.
  DWORD LeftMs() const {
    if (!bounded) return INFINITE;
    ULONGLONG now = GetTickCount64();
    return now >= deadline ? 0
                           : static_cast<DWORD>(std::min<ULONGLONG>(deadline - now, INFINITE - 1));
  }
  bool Passed() const { return bounded && GetTickCount64() >= deadline; }

  const bool bounded;
  const ULONGLONG deadline;
};

struct Win32SerialDevice::IoRecord {
  OVERLAPPED ov{};
  DWORD mask = 0;                  // what WaitCommEvent reports
  uint8_t data[WRITE_PIECE] = {};  // the read or write buffer, the driver's while it holds the record
  IoRecord() { ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr); }
  ~IoRecord() {
    if (ov.hEvent) CloseHandle(ov.hEvent);
  }
  IoRecord(const IoRecord&) = delete;
  IoRecord& operator=(const IoRecord&) = delete;
};

Win32SerialDevice::Record Win32SerialDevice::NewRecord() {
  Record rec = std::make_unique<IoRecord>();
  return rec->ov.hEvent ? std::move(rec) : nullptr;
}

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
  // Left only if Close could not close: the driver may still use them.
  for (Record& rec : graveyard_) (void)rec.release();
  if (cancelEvent_) CloseHandle(cancelEvent_);
  if (closeEvent_) CloseHandle(closeEvent_);
}

SerialResult Win32SerialDevice::Open(const std::string& name, const LineSettings& settings) {
  std::unique_lock lock(mutex_);
  if (handle_ != INVALID_HANDLE_VALUE || !cancelEvent_ || !closeEvent_) {
    return {SerialStatus::FAILED, ERROR_INVALID_FUNCTION};
  }
  HANDLE h = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                         FILE_FLAG_OVERLAPPED | FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return {SerialStatus::FAILED, static_cast<int>(GetLastError())};
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
  goneError_.store(0);
  ResetEvent(closeEvent_);
  return {};
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
  if (handle_ != INVALID_HANDLE_VALUE) ChangeMask();
}

SerialResult Win32SerialDevice::Close() {
  {
    std::shared_lock lock(mutex_);
    if (handle_ == INVALID_HANDLE_VALUE) return {};
    closing_.store(true);
    if (closeEvent_) SetEvent(closeEvent_);
    ChangeMask();
  }
  // Every call in progress now gives up its wait and releases the lock. One
  // that does not in time keeps the handle open; the destructor closes it.
  std::unique_lock lock(mutex_, std::defer_lock);
  if (!lock.try_lock_for(std::chrono::milliseconds(CLOSE_BOUND_MS))) return TIMED_OUT;
  if (handle_ == INVALID_HANDLE_VALUE) return {};
  HANDLE h = handle_;
  handle_ = INVALID_HANDLE_VALUE;
  SerialResult result;
  if (!CloseHandle(h)) result = {SerialStatus::FAILED, static_cast<int>(GetLastError())};
  // The port did not let go of some record in time: say so. Records done by
  // now are freed; the rest are left to the driver for good.
  std::lock_guard<std::mutex> hold(graveyardMutex_);
  if (!graveyard_.empty() && result) result = TIMED_OUT;
  for (Record& rec : graveyard_) {
    if (!HasOverlappedIoCompleted(&rec->ov)) (void)rec.release();
  }
  graveyard_.clear();
  return result;
}

DWORD Win32SerialDevice::UnusableLocked() const {
  if (handle_ == INVALID_HANDLE_VALUE || closing_.load()) return ERROR_INVALID_HANDLE;
  return goneError_.load();
}

SerialResult Win32SerialDevice::Failed(DWORD code, size_t count) {
  SerialStatus status = SerialStatus::FAILED;
  if (RememberIfGone(code)) {
    status = SerialStatus::GONE;
  } else if (code == ERROR_TIMEOUT) {
    status = SerialStatus::TIMEOUT;
  } else if (code == ERROR_OPERATION_ABORTED) {
    status = SerialStatus::CANCELLED;
  }
  return {status, static_cast<int>(code), count};
}

SerialResult Win32SerialDevice::SetBaudRate(uint32_t baud) {
  std::shared_lock lock(mutex_);
  if (DWORD code = UnusableLocked()) return Failed(code);
  DCB dcb{};
  dcb.DCBlength = sizeof(DCB);
  if (!GetCommState(handle_, &dcb)) return Failed(GetLastError());
  dcb.BaudRate = baud;
  if (SetCommState(handle_, &dcb)) return {};
  const DWORD code = GetLastError();
  // SetCommState sets the rate first, then the rest of the state; a driver
  // that turns down a later part (Wine on a pseudo-terminal does) has still
  // taken the rate, and the rate is all that was asked for.
  DCB now{};
  now.DCBlength = sizeof(DCB);
  if (GetCommState(handle_, &now) && now.BaudRate == baud) return {};
  return Failed(code);
}

// FlushFileBuffers has no bound and no cancel: the driver's transmit queue
// is watched instead, sleeping on the close event for about as long as the
// queued bytes take at the line rate.
SerialResult Win32SerialDevice::Drain(int timeoutMs) {
  std::shared_lock lock(mutex_);
  if (DWORD code = UnusableLocked()) return Failed(code);
  const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(std::max(timeoutMs, 0));
  for (;;) {
    DWORD errors = 0;
    COMSTAT status{};
    if (!ClearCommError(handle_, &errors, &status)) return Failed(GetLastError());
    if (status.cbOutQue == 0) return {};
    DCB dcb{};
    dcb.DCBlength = sizeof(DCB);
    ULONGLONG baud = GetCommState(handle_, &dcb) && dcb.BaudRate > 0 ? dcb.BaudRate : 9600;
    // 11 bit times a byte: start, 8 data, parity, stop.
    ULONGLONG ms = std::max<ULONGLONG>(1, status.cbOutQue * 11ULL * 1000 / baud);
    if (timeoutMs >= 0) {
      ULONGLONG now = GetTickCount64();
      if (now >= deadline) return TIMED_OUT;
      ms = std::min(ms, deadline - now);
    }
    DWORD bound = static_cast<DWORD>(std::min<ULONGLONG>(ms, INFINITE - 1));
    if (WaitForSingleObject(closeEvent_, bound) == WAIT_OBJECT_0) return CANCELLED;
  }
}

SerialResult Win32SerialDevice::QueueCountLocked() {
  DWORD errors = 0;
  COMSTAT status{};
  if (!ClearCommError(handle_, &errors, &status)) return Failed(GetLastError());
  return {SerialStatus::OK, 0, status.cbInQue};
}

SerialResult Win32SerialDevice::BytesWaiting() {
  std::shared_lock lock(mutex_);
  if (DWORD code = UnusableLocked()) return Failed(code);
  return QueueCountLocked();
}

bool Win32SerialDevice::RememberIfGone(DWORD code) {
  if (!IsRemoval(code)) return false;
  DWORD none = 0;
  goneError_.compare_exchange_strong(none, code);
  return true;
}

void Win32SerialDevice::ChangeMask() {
  maskChanges_.fetch_add(1);
  SetCommMask(handle_, EV_RXCHAR);
}

bool Win32SerialDevice::CancelAndSettle(Record& rec, bool commWait) {
  // Some drivers (and Wine) cannot cancel a serial operation by record; a
  // new event mask ends a comm-event wait, an abort purge a read or write.
  bool asked = CancelIoEx(handle_, &rec->ov) != FALSE;
  if (WaitForSingleObject(rec->ov.hEvent, asked ? CANCEL_MS : 0) == WAIT_OBJECT_0) return true;
  if (commWait) {
    ChangeMask();
  } else {
    PurgeComm(handle_, PURGE_TXABORT | PURGE_RXABORT);
  }
  if (WaitForSingleObject(rec->ov.hEvent, CANCEL_MS) == WAIT_OBJECT_0) return true;
  // The driver may still write to the record (and its buffer) at any time.
  std::lock_guard<std::mutex> hold(graveyardMutex_);
  graveyard_.push_back(std::move(rec));
  return false;
}

bool Win32SerialDevice::FinishOverlapped(Record& rec, DWORD* done, DWORD* error, DWORD boundMs) {
  HANDLE waits[2] = {rec->ov.hEvent, closeEvent_};
  DWORD which = WaitForMultipleObjects(2, waits, FALSE, boundMs);
  if (which == WAIT_OBJECT_0) {
    if (GetOverlappedResult(handle_, &rec->ov, done, FALSE)) return true;
    *error = GetLastError();
    return false;
  }
  *error = which == WAIT_OBJECT_0 + 1 ? ERROR_OPERATION_ABORTED
           : which == WAIT_TIMEOUT    ? ERROR_TIMEOUT
                                      : GetLastError();
  // What went through before the cancel still counts.
  *done = CancelAndSettle(rec, false) ? static_cast<DWORD>(rec->ov.InternalHigh) : 0;
  return false;
}

SerialResult Win32SerialDevice::Read(uint8_t* buffer, size_t max) {
  std::shared_lock lock(mutex_);
  if (DWORD code = UnusableLocked()) return Failed(code);
  if (max == 0) return {};
  SerialResult queued = QueueCountLocked();
  DWORD count = static_cast<DWORD>(std::min<size_t>({max, queued.count, WRITE_PIECE}));
  if (count == 0) return queued.status == SerialStatus::OK ? SerialResult{} : queued;
  Record rec = NewRecord();
  if (!rec) return Failed(GetLastError());
  DWORD got = 0;
  DWORD code = ERROR_SUCCESS;
  bool ok = ReadFile(handle_, rec->data, count, &got, &rec->ov) != FALSE;
  if (!ok) {
    code = GetLastError();
    got = 0;
    if (code == ERROR_IO_PENDING) ok = FinishOverlapped(rec, &got, &code, READ_BOUND_MS);
  }
  if (got > 0) std::memcpy(buffer, rec->data, got);  // got is 0 when rec was abandoned
  if (ok) return {SerialStatus::OK, 0, got};
  DWORD errors = 0;
  ClearCommError(handle_, &errors, nullptr);
  return Failed(code, got);
}

SerialResult Win32SerialDevice::Write(const uint8_t* data, size_t length) {
  std::shared_lock lock(mutex_);
  if (DWORD code = UnusableLocked()) return Failed(code);
  size_t total = 0;
  while (total < length) {
    DWORD chunk = static_cast<DWORD>(std::min(length - total, WRITE_PIECE));
    Record rec = NewRecord();
    if (!rec) return Failed(GetLastError(), total);
    std::memcpy(rec->data, data + total, chunk);
    DWORD written = 0;
    BOOL ok = WriteFile(handle_, rec->data, chunk, &written, &rec->ov);
    DWORD code = ok ? ERROR_SUCCESS : GetLastError();
    // As the line's own write wait: a pending write is waited for; any other
    // failure clears the port's error state and ends the write.
    if (!ok && code == ERROR_IO_PENDING) {
      written = 0;
      ok = FinishOverlapped(rec, &written, &code, WRITE_STALL_MS) ? TRUE : FALSE;
    }
    if (!ok) {
      DWORD errors = 0;
      ClearCommError(handle_, &errors, nullptr);
      return Failed(code, total + written);
    }
    total += written;
    if (written < chunk) break;  // the driver took less (a write time-out)
  }
  return {SerialStatus::OK, 0, total};
}

// A failed wait clears the port's error state. An abort that no cancel or
// mask change of ours explains is how some drivers end a wait when their
// device is pulled; the status call then tells whether it is still there.
SerialResult Win32SerialDevice::WaitFailed(DWORD code) {
  DWORD errors = 0;
  if (!ClearCommError(handle_, &errors, nullptr) && code == ERROR_OPERATION_ABORTED) {
    code = GetLastError();
  }
  return {RememberIfGone(code) ? SerialStatus::GONE : SerialStatus::FAILED, static_cast<int>(code)};
}

// The wait goes round until it has a result: each round looks at the queue,
// then issues a comm-event wait and waits for it, for a cancel or close, or
// for the bound.
SerialResult Win32SerialDevice::WaitForData(int timeoutMs) {
  const unsigned generation = cancelGeneration_.load();
  std::shared_lock lock(mutex_);
  if (handle_ == INVALID_HANDLE_VALUE || closing_.load()) return CANCELLED;
  const WaitBound bound(timeoutMs);
  for (;;) {
    if (std::optional<SerialResult> ended = WaitRound(generation, bound)) return *ended;
  }
}

bool Win32SerialDevice::CancelledSince(unsigned generation) const {
  return closing_.load() || cancelGeneration_.load() != generation;
}

std::optional<SerialResult> Win32SerialDevice::WaitRound(unsigned generation,
                                                         const WaitBound& bound) {
  auto gone = [&] { return SerialResult{SerialStatus::GONE, static_cast<int>(goneError_.load())}; };
  if (goneError_.load()) return gone();
  if (CancelledSince(generation)) return CANCELLED;
  // Bytes that arrived before the wait raise no new event.
  const SerialResult queued = QueueCountLocked();
  if (goneError_.load()) return gone();
  if (queued.count > 0) return SerialResult{};
  Record rec = NewRecord();
  if (!rec) return SerialResult{SerialStatus::FAILED, static_cast<int>(GetLastError())};
  const unsigned masks = maskChanges_.load();
  if (!WaitCommEvent(handle_, &rec->mask, &rec->ov)) {
    DWORD code = GetLastError();
    if (code != ERROR_IO_PENDING) return WaitFailed(code);
    // Bytes may have come between the queue check and the wait.
    if (QueueCountLocked().count > 0) {
      CancelAndSettle(rec, true);
      return SerialResult{};
    }
    if (std::optional<SerialResult> ended = AwaitCommEvent(rec, generation, bound)) return ended;
    DWORD done = 0;
    if (!GetOverlappedResult(handle_, &rec->ov, &done, FALSE)) {
      return CommWaitFailed(GetLastError(), generation, masks);
    }
  }
  // A zero mask means someone changed the event mask: a cancel, a close,
  // or another caller's; in the last case wait again.
  if (rec->mask != 0) return SerialResult{};
  if (bound.Passed()) return TIMED_OUT;
  return std::nullopt;
}

std::optional<SerialResult> Win32SerialDevice::AwaitCommEvent(Record& rec, unsigned generation,
                                                              const WaitBound& bound) {
  HANDLE waits[3] = {rec->ov.hEvent, cancelEvent_, closeEvent_};
  for (;;) {
    DWORD which = WaitForMultipleObjects(3, waits, FALSE, bound.LeftMs());
    if (which == WAIT_OBJECT_0) return std::nullopt;
    // A cancel meant for an earlier wait.
    if (which == WAIT_OBJECT_0 + 1 && !CancelledSince(generation)) continue;
    DWORD failure = which == WAIT_FAILED ? GetLastError() : ERROR_SUCCESS;
    CancelAndSettle(rec, true);
    if (which == WAIT_TIMEOUT) return TIMED_OUT;
    if (which == WAIT_OBJECT_0 + 1 || which == WAIT_OBJECT_0 + 2) return CANCELLED;
    return SerialResult{SerialStatus::FAILED, static_cast<int>(failure)};
  }
}

std::optional<SerialResult> Win32SerialDevice::CommWaitFailed(DWORD failure, unsigned generation,
                                                              unsigned masks) {
  if (CancelledSince(generation)) {
    DWORD errors = 0;
    ClearCommError(handle_, &errors, nullptr);
    return CANCELLED;
  }
  // Wine ends a wait cut short by an event-mask change this way, where
  // Windows completes it with a zero mask: wait again. Without such a
  // change the abort may be the device going away.
  if (failure == ERROR_OPERATION_ABORTED && maskChanges_.load() != masks) return std::nullopt;
  return WaitFailed(failure);
}

SerialResult Win32SerialDevice::GetCts(bool* cts) {
  std::shared_lock lock(mutex_);
  if (DWORD code = UnusableLocked()) return Failed(code);
  DWORD status = 0;
  if (!GetCommModemStatus(handle_, &status)) return Failed(GetLastError());
  if (cts) *cts = (status & MS_CTS_ON) != 0;
  return {};
}

SerialResult Win32SerialDevice::SetDtr(bool on) {
  std::shared_lock lock(mutex_);
  if (DWORD code = UnusableLocked()) return Failed(code);
  if (!EscapeCommFunction(handle_, on ? SETDTR : CLRDTR)) return Failed(GetLastError());
  return {};
}

SerialResult Win32SerialDevice::ClearError() {
  std::shared_lock lock(mutex_);
  if (DWORD code = UnusableLocked()) return Failed(code);
  DWORD errors = 0;
  if (!ClearCommError(handle_, &errors, nullptr)) return Failed(GetLastError());
  return {};
}

std::shared_ptr<SerialDevice> Win32SerialFactory::Create() {
  return std::make_shared<Win32SerialDevice>();
}

std::string Win32SerialFactory::PortName(int number) {
  return "\\\\.\\COM" + std::to_string(number);
}

}  // namespace quillon::win32
