// The serial port on Windows: a COM port opened for overlapped I/O.
#pragma once

#include <windows.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <vector>

#include "core/serial_device.h"

namespace quillon::win32 {

// The device-control record the line settings ask for, built from the port's
// current one so the rules can be checked without a port.
DCB BuildDcb(const DCB& current, const LineSettings& settings);

// Every call takes the handle under a shared lock; Close wakes the waiters
// (cancel events and an event-mask change), then takes the lock exclusively
// before it closes, so no call ever runs on a closed handle. Each call uses
// an overlapped record and event of its own, so any thread may call. Every
// wait is bounded: a record the driver does not let go of after a cancel is
// kept (never freed under the driver), and Close then returns ERROR_TIMEOUT,
// as it does when calls in progress do not step off the port in time. A
// failure that means the device went away (unplugged) is remembered: later
// calls fail at once, and waits return GONE.
class Win32SerialDevice : public SerialDevice {
 public:
  Win32SerialDevice();
  ~Win32SerialDevice() override;
  Win32SerialDevice(const Win32SerialDevice&) = delete;
  Win32SerialDevice& operator=(const Win32SerialDevice&) = delete;

  bool Open(const std::string& name, const LineSettings& settings, int* error) override;
  bool IsOpen() const override;
  void CancelWait() override;
  int Close() override;
  bool SetBaudRate(uint32_t baud) override;
  bool Drain(int timeoutMs, int* error) override;
  size_t BytesWaiting() override;
  size_t Read(uint8_t* buffer, size_t max) override;
  size_t Write(const uint8_t* data, size_t length, int* error) override;
  WaitResult WaitForData(int timeoutMs, int* error) override;
  bool GetCts(bool* cts) override;
  void SetDtr(bool on) override;
  void ClearError() override;

 private:
  // One overlapped operation: its record, event and data, on the heap so
  // that it can outlive the call when the driver does not let go of it.
  struct IoRecord;
  using Record = std::unique_ptr<IoRecord>;
  static Record NewRecord();

  // The helpers below run with the shared lock held.
  // The receive-queue count from ClearCommError.
  DWORD QueueCountLocked();
  // Waits for the operation pending on rec, giving up (and cancelling it)
  // when the device is being closed or boundMs passes. Returns the count
  // transferred through *done (also the part done before a cancel); false
  // with *error on failure, close or time-out.
  bool FinishOverlapped(Record& rec, DWORD* done, DWORD* error, DWORD boundMs);
  // Cancels the operation pending on rec and waits, bounded, until the
  // driver has let go of the record; false when it did not, in which case
  // the record has gone to the graveyard.
  bool CancelAndSettle(Record& rec, bool commWait);
  // A new event mask: ends every comm-event wait on the port.
  void ChangeMask();
  // Remembers the device as gone when code says it went away.
  bool NoteFailure(DWORD code);
  // The result of a comm-event wait that failed with code: GONE or FAILED.
  WaitResult WaitFailed(DWORD code, int* error);

  mutable std::shared_timed_mutex mutex_;
  HANDLE handle_ = INVALID_HANDLE_VALUE;  // guarded by mutex_
  std::atomic<bool> closing_{false};
  std::atomic<unsigned> cancelGeneration_{0};
  std::atomic<unsigned> maskChanges_{0};  // event-mask changes made by this object
  std::atomic<DWORD> goneError_{0};       // the failure that showed the device gone; 0 while there
  HANDLE cancelEvent_ = nullptr;  // auto-reset; raised by CancelWait
  HANDLE closeEvent_ = nullptr;   // manual-reset; raised once by Close
  std::mutex graveyardMutex_;
  std::vector<Record> graveyard_;  // records abandoned to the driver, dealt with at Close
};

class Win32SerialFactory : public SerialFactory {
 public:
  std::shared_ptr<SerialDevice> Create() override;
  // "\\.\COMn": the bare "COMn" names only ports 1 to 9.
  std::string PortName(int number) override;
};

}  // namespace quillon::win32
