// The one serial port through which the program talks to the readout.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "core/serial_device.h"

namespace quillon {

struct App;

// The open port, or none. Every user takes a fresh reference at each use, so
// a close on the UI thread is seen by the other threads at their next call.
class SerialLink {
 public:
  std::shared_ptr<SerialDevice> Port() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return port_;
  }
  bool IsOpen() const { return Port() != nullptr; }
  // Replaces the port and returns the previous one.
  std::shared_ptr<SerialDevice> Exchange(std::shared_ptr<SerialDevice> port) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::swap(port, port_);
    return port;
  }

 private:
  mutable std::mutex mutex_;
  std::shared_ptr<SerialDevice> port_;
};

// Opens and configures a port; nullptr (with *error set) when it cannot be
// opened. Does not touch the link.
std::shared_ptr<SerialDevice> RS232_OpenPort(App& app, const std::string& name, uint32_t baudRate,
                                             uint8_t byteSize, uint8_t parity, uint8_t stopBits,
                                             unsigned flow, int* error);
void RS232_SetBaudRate(App& app, uint32_t baudRate);
// Reads at most max of the bytes waiting; 0 when none.
size_t RS232_ReadAvailable(App& app, uint8_t* buffer, size_t max);
// Writes to the open port and waits for the write to finish. Returns the
// count written (0 with no port).
size_t RS232_Write(App& app, const uint8_t* data, size_t length);

// Closes any open port, then opens COM<portNumber> at 115200-8-odd-1.
void OpenDevice(App& app, int portNumber);
// The same for a port named by its device path (the portable programs).
void OpenDevicePath(App& app, const std::string& path);
void CloseDevice(App& app);

}  // namespace quillon
