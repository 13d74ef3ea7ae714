// The PC's end of a real UART line, for tests, demos and benchmarks: wraps a
// device (the POSIX backend on the simulator's pty, say) and adds what a
// USB-serial driver does to the host's writes. A write goes into a transmit
// queue of a few kilobytes and returns at once while there is room; a pump
// empties the queue into the wrapped device at the line rate (baud / 11
// bytes a second), so bytes reach the far end no sooner than a UART would
// send them. A change of rate while bytes are still queued sends those bytes
// at the wrong rate: they are counted as garbled (and still passed on, as
// the far end would see something). Everything else goes straight through.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "core/serial_device.h"
#include "sim/pacing.h"

namespace quillon::sim {

struct LineModelOptions {
  size_t queueBytes = 4096;  // the driver's transmit queue
  bool usbFrames = false;    // writes reach the bridge on 1 ms USB frames
  int writeStallMs = 5000;   // how long a write waits for room in a full queue
};

class LineModelDevice : public SerialDevice {
 public:
  explicit LineModelDevice(std::shared_ptr<SerialDevice> inner, LineModelOptions options = {});
  ~LineModelDevice() override;
  LineModelDevice(const LineModelDevice&) = delete;
  LineModelDevice& operator=(const LineModelDevice&) = delete;

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

  // Bytes that were still queued when the rate changed.
  uint64_t GarbledBytes() const;

 private:
  void Pump();

  const std::shared_ptr<SerialDevice> inner_;
  const LineModelOptions options_;

  mutable std::mutex mutex_;
  std::condition_variable changed_;  // the queue, the bytes in flight, the rate or the opening changed
  std::deque<uint8_t> queue_;
  size_t inFlight_ = 0;              // taken by the pump, not yet written to the inner device
  bool open_ = false;
  uint32_t baud_ = 0;
  uint64_t garbled_ = 0;
  UartTimer line_;                   // when queued bytes have crossed the line
  std::thread pump_;
};

}  // namespace quillon::sim
