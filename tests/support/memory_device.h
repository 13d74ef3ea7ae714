// A port in memory, for the unit tests and the fuzzers: it keeps what is
// written to it, reads what a test put in `incoming`, and its waits time out
// at once (the tests hand received bytes to the parser themselves).
#pragma once

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <mutex>
#include <vector>

#include "core/serial_device.h"

namespace quillon::test {

class MemoryDevice : public SerialDevice {
 public:
  SerialResult Open(const std::string&, const LineSettings&) override { return {}; }
  bool IsOpen() const override { return true; }
  void CancelWait() override {}
  SerialResult Close() override { return {}; }
  SerialResult SetBaudRate(uint32_t) override { return {}; }
  SerialResult Drain(int) override { return {}; }
  SerialResult BytesWaiting() override { return {SerialStatus::OK, 0, incoming.size()}; }
  SerialResult Read(uint8_t* buffer, size_t count) override {
    count = std::min(count, incoming.size());
    std::copy_n(incoming.begin(), count, buffer);
    incoming.erase(incoming.begin(), incoming.begin() + static_cast<std::ptrdiff_t>(count));
    return {SerialStatus::OK, 0, count};
  }
  SerialResult Write(const uint8_t* data, size_t length) override {
    std::lock_guard<std::mutex> lock(mutex);
    written.insert(written.end(), data, data + length);
    writes.push_back(length);
    return {SerialStatus::OK, 0, length};
  }
  SerialResult WaitForData(int) override { return {SerialStatus::TIMEOUT, ETIMEDOUT}; }
  SerialResult GetCts(bool*) override { return {SerialStatus::FAILED, ENOTTY}; }  // no modem lines
  SerialResult SetDtr(bool) override { return {}; }
  SerialResult ClearError() override { return {}; }

  std::mutex mutex;  // a bootloader worker writes from its own thread
  std::vector<uint8_t> written;
  std::vector<size_t> writes;     // the size of each write
  std::vector<uint8_t> incoming;  // what the readout has sent, for Read
};

}  // namespace quillon::test
