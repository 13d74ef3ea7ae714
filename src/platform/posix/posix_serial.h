// The serial port on POSIX systems: termios on a tty or pseudo-terminal.
#pragma once

#include <termios.h>

#include <atomic>
#include <memory>
#include <shared_mutex>
#include <string>

#include "core/serial_device.h"

namespace quillon::posix {

// The termios settings the backend asks for, built apart from any device so
// they can be checked directly (pseudo-terminals drop some flags).
termios BuildTermios(const termios& current, const LineSettings& settings);

class PosixSerialDevice : public SerialDevice {
 public:
  PosixSerialDevice();
  ~PosixSerialDevice() override;
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
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

class PosixSerialFactory : public SerialFactory {
 public:
  std::shared_ptr<SerialDevice> Create() override;
  // A port number has no device of its own on POSIX; "COMn" fails to open.
  std::string PortName(int number) override;
};

}  // namespace quillon::posix
