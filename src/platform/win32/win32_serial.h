// The serial port on Windows: a COM port opened for overlapped I/O.
#pragma once

#include <windows.h>

#include <atomic>
#include <shared_mutex>
#include <string>

#include "core/serial_device.h"

namespace quillon::win32 {

// The device-control record the line settings ask for, built from the port's
// current one so the rules can be checked without a port.
DCB BuildDcb(const DCB& current, const LineSettings& settings);

// Every call takes the handle under a shared lock; Close wakes the waiters
// (cancel events and an event-mask change), then takes the lock exclusively
// before it closes, so no call ever runs on a closed handle. Each call uses
// an overlapped record and event of its own, so any thread may call.
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
  // Queue count from ClearCommError; the caller holds the shared lock.
  DWORD QueueCountLocked();
  // Waits for an overlapped operation that is pending on ov, giving up (and
  // cancelling it) when the device is being closed or boundMs passes.
  // Returns the transferred count through *done (also the part done before
  // a cancel); false with *error on failure, close or time-out.
  bool FinishOverlapped(OVERLAPPED& ov, DWORD* done, DWORD* error, DWORD boundMs);
  // Cancels an operation pending on ov and waits until the driver has let
  // go of the record.
  void CancelAndDrain(OVERLAPPED& ov, bool commWait);

  mutable std::shared_mutex mutex_;
  HANDLE handle_ = INVALID_HANDLE_VALUE;  // guarded by mutex_
  std::atomic<bool> closing_{false};
  std::atomic<unsigned> cancelGeneration_{0};
  HANDLE cancelEvent_ = nullptr;  // auto-reset; raised by CancelWait
  HANDLE closeEvent_ = nullptr;   // manual-reset; raised once by Close
};

class Win32SerialFactory : public SerialFactory {
 public:
  std::shared_ptr<SerialDevice> Create() override;
  // "\\.\COMn": the bare "COMn" names only ports 1 to 9.
  std::string PortName(int number) override;
};

}  // namespace quillon::win32
