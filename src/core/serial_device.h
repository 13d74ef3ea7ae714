// One open serial port, as the core sees it. Backends: Win32 overlapped I/O,
// POSIX termios, and an in-memory fake for unit tests.
//
// Thread-safety contract: every operation may be called from any thread and
// at the same time as any other, Close included. After Close (or CancelWait)
// a WaitForData that is blocked returns at once; every later operation fails
// without touching the closed descriptor.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace quillon {

// Flow-control flags of the line settings.
constexpr unsigned FLOW_DSR_DTR = 1;
constexpr unsigned FLOW_CTS_RTS = 2;
constexpr unsigned FLOW_XON_XOFF = 4;

struct LineSettings {
  uint32_t baudRate = 115200;
  uint8_t byteSize = 8;
  uint8_t parity = 1;    // 0 none, 1 odd, 2 even
  uint8_t stopBits = 0;  // 0 one, 1 one and a half, 2 two
  unsigned flow = 0;     // FLOW_* bits
};

enum class WaitResult {
  DATA,      // bytes are waiting (or an event arrived)
  CANCELLED, // the wait was ended by CancelWait or Close
  FAILED,    // the wait failed; the error code says why
  TIMEOUT,   // the given bound passed with nothing received
  GONE,      // the device went away (hang-up, unplugged); it will not come back
};

class SerialDevice {
 public:
  virtual ~SerialDevice() = default;

  // Opens the named port exclusively with the given settings, raises DTR
  // (and RTS unless RTS handshake is asked) and purges both queues.
  // On failure returns false with the system error code in *error.
  virtual bool Open(const std::string& name, const LineSettings& settings, int* error) = 0;
  virtual bool IsOpen() const = 0;
  // Ends any pending WaitForData at once, without closing.
  virtual void CancelWait() = 0;
  // Closes the port; returns the system error code of the close (0 when it succeeded).
  virtual int Close() = 0;

  virtual bool SetBaudRate(uint32_t baud) = 0;
  // Waits until every byte written so far has left the port (the kernel's or
  // driver's transmit queue is empty), at most timeoutMs. False on time-out,
  // close or failure, with the system error code in *error (when given).
  virtual bool Drain(int timeoutMs, int* error = nullptr) = 0;
  // Bytes in the receive queue, 0 when none or on failure.
  virtual size_t BytesWaiting() = 0;
  // Reads up to max bytes of what is waiting; never blocks for more.
  // Returns the count (0 on failure or when nothing waits).
  virtual size_t Read(uint8_t* buffer, size_t max) = 0;
  // Writes and waits for completion. Returns the count written; on failure
  // *error (when given) holds the system error code.
  virtual size_t Write(const uint8_t* data, size_t length, int* error = nullptr) = 0;
  // Waits until bytes arrive, the wait is cancelled, or timeoutMs passes
  // (timeoutMs < 0: no bound).
  virtual WaitResult WaitForData(int timeoutMs, int* error = nullptr) = 0;
  // Clear-to-send from the modem status; false when the status cannot be read.
  virtual bool GetCts(bool* cts) = 0;
  virtual void SetDtr(bool on) = 0;
  // Clears the port's error state after a failed operation.
  virtual void ClearError() = 0;
};

// Makes a new, unopened device object; one per opening of a port.
class SerialFactory {
 public:
  virtual ~SerialFactory() = default;
  virtual std::shared_ptr<SerialDevice> Create() = 0;
  // The device name for a port number on this platform ("\\.\COMn" on
  // Windows, "COMn" elsewhere, where only paths name real devices).
  virtual std::string PortName(int number) = 0;
};

}  // namespace quillon
