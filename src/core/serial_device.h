// One open serial port, as the core sees it. Backends: Win32 overlapped I/O,
// POSIX termios, the simulator's line model around either, and the tests' fakes.
//
// Threads: every operation may be called from any thread and at the same
// time as any other, Close included. CancelWait ends at once a WaitForData
// that is blocked (on POSIX also the next one when none is); Close ends at
// once every blocked wait, write and drain, and every later operation but
// Open then fails without touching the closed descriptor. A device found
// gone stays gone: every later operation fails at once with GONE.
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

// What became of an operation. Every operation answers with the same kind of
// result, as libserialport's sp_return does: a status, the system's error code
// (errno or GetLastError) and, where bytes move, their count.
enum class SerialStatus {
  OK,         // done as asked; for WaitForData: bytes are waiting
  TIMEOUT,    // the operation's bound passed first
  CANCELLED,  // ended by CancelWait or Close
  GONE,       // the device went away (hang-up, unplugged); it will not come back
  FAILED,     // any other failure; code says why
};

struct SerialResult {
  SerialStatus status = SerialStatus::OK;
  int code = 0;      // 0 with OK, else the system's code (also for a time-out or cancel)
  size_t count = 0;  // Read, Write, BytesWaiting: the bytes (a failure keeps what moved before)

  explicit operator bool() const { return status == SerialStatus::OK; }
};

class SerialDevice {
 public:
  virtual ~SerialDevice() = default;

  // Opens the named port exclusively with the given settings, raises DTR
  // (and RTS unless RTS handshake is asked) and purges both queues.
  virtual SerialResult Open(const std::string& name, const LineSettings& settings) = 0;
  virtual bool IsOpen() const = 0;
  // Ends a pending WaitForData at once, without closing; cannot fail.
  virtual void CancelWait() = 0;
  // Closes the port. TIMEOUT when calls in progress (or the driver) did not
  // let go in time; the device is closed for every later call all the same.
  virtual SerialResult Close() = 0;

  virtual SerialResult SetBaudRate(uint32_t baud) = 0;
  // Waits until every byte written so far has left the port (the kernel's or
  // driver's transmit queue is empty), at most timeoutMs (< 0: no bound).
  virtual SerialResult Drain(int timeoutMs) = 0;
  // count: the bytes in the receive queue.
  virtual SerialResult BytesWaiting() = 0;
  // Reads up to max bytes of what is waiting into buffer; never blocks for
  // more. count: the bytes read (0 with OK when nothing waits).
  virtual SerialResult Read(uint8_t* buffer, size_t max) = 0;
  // Writes and waits for completion. count: the bytes written, short with OK
  // only when the driver took less (its own write time-out).
  virtual SerialResult Write(const uint8_t* data, size_t length) = 0;
  // Waits until bytes arrive (OK), the wait is cancelled, or timeoutMs
  // passes (timeoutMs < 0: no bound).
  virtual SerialResult WaitForData(int timeoutMs) = 0;
  // *cts: clear-to-send from the modem status.
  virtual SerialResult GetCts(bool* cts) = 0;
  virtual SerialResult SetDtr(bool on) = 0;
  // Clears the port's error state after a failed operation.
  virtual SerialResult ClearError() = 0;
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
