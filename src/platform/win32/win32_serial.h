// The serial port on Windows: a COM port opened for overlapped I/O.
#pragma once

#include <windows.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
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
// kept (never freed under the driver), and Close then returns TIMEOUT, as
// it does when calls in progress do not step off the port in time. A
// failure that means the device went away (unplugged) is remembered: later
// calls fail at once with GONE.
class Win32SerialDevice : public SerialDevice {
 public:
  Win32SerialDevice();
  ~Win32SerialDevice() override;
  Win32SerialDevice(const Win32SerialDevice&) = delete;
  Win32SerialDevice& operator=(const Win32SerialDevice&) = delete;

  SerialResult Open(const std::string& name, const LineSettings& settings) override;
  bool IsOpen() const override;
  void CancelWait() override;
  SerialResult Close() override;
  SerialResult SetBaudRate(uint32_t baud) override;
  SerialResult Drain(int timeoutMs) override;
  SerialResult BytesWaiting() override;
  SerialResult Read(uint8_t* buffer, size_t max) override;
  SerialResult Write(const uint8_t* data, size_t length) override;
  SerialResult WaitForData(int timeoutMs) override;
  SerialResult GetCts(bool* cts) override;
  SerialResult SetDtr(bool on) override;
  SerialResult ClearError() override;

 private:
  // One overlapped operation: its record, event and data, on the heap so
  // that it can outlive the call when the driver does not let go of it.
  struct IoRecord;
  using Record = std::unique_ptr<IoRecord>;
  static Record NewRecord();
  struct WaitBound;

  // The helpers below run with the shared lock held.
  // 0 when the handle may be used, otherwise the error that says why not.
  DWORD UnusableLocked() const;
  // The result of a failure with code, count bytes having gone through:
  // GONE (remembered) when the code says the device went away.
  SerialResult Failed(DWORD code, size_t count = 0);
  // count: the receive queue's bytes, from ClearCommError.
  SerialResult QueueCountLocked();
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
  // Remembers the device as gone when code says it went away; true then.
  bool RememberIfGone(DWORD code);
  // The steps of WaitForData. A CancelWait or Close since generation was
  // taken ends the wait.
  bool CancelledSince(unsigned generation) const;
  // One round of a wait; no result: wait again.
  std::optional<SerialResult> WaitRound(unsigned generation, const WaitBound& bound);
  // Waits for the comm event pending on rec; a result when the wait ended
  // without it (cancel, close, bound), the event cancelled and settled.
  std::optional<SerialResult> AwaitCommEvent(Record& rec, unsigned generation,
                                             const WaitBound& bound);
  // The comm event completed with failure; no result: wait again.
  std::optional<SerialResult> CommWaitFailed(DWORD failure, unsigned generation, unsigned masks);
  // The result of a comm-event wait that failed with code: GONE or FAILED.
  SerialResult WaitFailed(DWORD code);

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
