// The one serial port through which an engine talks to its readout.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "core/serial_device.h"

namespace quillon {

class EventLog;
class Host;

// The line the readout speaks: 115200 baud, 8 data bits, odd parity, 1 stop bit.
constexpr uint32_t LINK_BAUD = 115200;

// The open port, or none. Every user takes a fresh reference at each use, so
// a close on the handler thread is seen by the other threads at their next call.
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
    // A port found gone stays so until another takes its place, so a job
    // still running learns why its port disappeared.
    if (port_) lost_ = false;
    return port;
  }
  // The receive thread found this port gone (hang-up, unplugged); false
  // when another port has taken its place meanwhile.
  bool MarkLost(const std::shared_ptr<SerialDevice>& port) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (port != port_ || lost_) return false;
    lost_ = true;
    return true;
  }
  bool Lost() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lost_;
  }

 private:
  mutable std::mutex mutex_;
  std::shared_ptr<SerialDevice> port_;
  bool lost_ = false;
};

// Opens and configures a port; nullptr (with *error set) when it cannot be
// opened. Does not touch the link.
std::shared_ptr<SerialDevice> RS232_OpenPort(SerialFactory& factory, const std::string& name,
                                             uint32_t baudRate, uint8_t byteSize, uint8_t parity,
                                             uint8_t stopBits, unsigned flow, int* error);
// FAILED (code 0) when the link has no port.
SerialResult RS232_SetBaudRate(SerialLink& link, uint32_t baudRate);
// "the port could not be set to N baud (error C)", for a start's refusal.
std::string BaudRateFailure(uint32_t baudRate, const SerialResult& result);
// Reads at most max of the bytes waiting; 0 when none.
size_t RS232_ReadAvailable(SerialLink& link, uint8_t* buffer, size_t max);

// Closes the link's port (if any) and opens name at 115200-8-odd-1 in its
// place, logging each step under label. False (with *error) when it failed.
bool OpenPortOnLink(SerialLink& link, SerialFactory& factory, EventLog& log, Host& host,
                    uint32_t closePauseMs, const std::string& name, const std::string& label,
                    int* error);
// Takes the port off the link and closes it, logging the close; pauses
// around the close so a wait still pending on it can end first.
void ClosePortOnLink(SerialLink& link, EventLog& log, Host& host, uint32_t closePauseMs,
                     bool pauseAfter);

}  // namespace quillon
