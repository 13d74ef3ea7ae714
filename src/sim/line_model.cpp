// The PC's end of a real UART line: a transmit queue emptied at the line rate.
#include "sim/line_model.h"

#include <algorithm>
#include <cerrno>
#include <vector>

namespace quillon::sim {

namespace {

using Clock = UartTimer::Clock;

constexpr Clock::duration USB_FRAME = std::chrono::milliseconds(1);
// The pump hands bytes on at least this often while the line is busy, rather
// than one byte time at a time.
constexpr Clock::duration PUMP_SLICE = std::chrono::milliseconds(1);
constexpr Clock::duration MAX_WAIT = std::chrono::milliseconds(100);

UartTimer NewLine(uint32_t baud, bool usbFrames) {
  return UartTimer(baud, Clock::now(), usbFrames ? USB_FRAME : Clock::duration::zero());
}

}  // namespace

LineModelDevice::LineModelDevice(std::shared_ptr<SerialDevice> inner, LineModelOptions options)
    : inner_(std::move(inner)), options_(options), line_(NewLine(0, options.usbFrames)) {}

LineModelDevice::~LineModelDevice() { Close(); }

SerialResult LineModelDevice::Open(const std::string& name, const LineSettings& settings) {
  SerialResult opened = inner_->Open(name, settings);
  if (!opened) return opened;
  std::lock_guard<std::mutex> lock(mutex_);
  open_ = true;
  queue_.clear();
  baud_ = settings.baudRate;
  line_ = NewLine(baud_, options_.usbFrames);
  if (!pump_.joinable()) pump_ = std::thread([this] { Pump(); });
  return opened;
}

bool LineModelDevice::IsOpen() const {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!open_) return false;
  }
  return inner_->IsOpen();
}

void LineModelDevice::CancelWait() { inner_->CancelWait(); }

SerialResult LineModelDevice::Close() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    open_ = false;
    queue_.clear();  // what was not sent yet is lost, as on closing a real port
  }
  changed_.notify_all();
  // Closing the inner device first ends a write the pump is blocked in.
  SerialResult result = inner_->Close();
  std::thread pump;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    pump = std::move(pump_);
  }
  if (pump.joinable()) pump.join();
  return result;
}

SerialResult LineModelDevice::SetBaudRate(uint32_t baud) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    // The bytes still queued leave the UART at the new rate: the far end,
    // still at the old one, reads garbage.
    if (baud != baud_) garbled_ += queue_.size();
    baud_ = baud;
    line_ = NewLine(baud, options_.usbFrames);
  }
  changed_.notify_all();
  return inner_->SetBaudRate(baud);
}

SerialResult LineModelDevice::Drain(int timeoutMs) {
  auto deadline = Clock::now() + std::chrono::milliseconds(std::max(timeoutMs, 0));
  {
    std::unique_lock<std::mutex> lock(mutex_);
    auto emptyOrClosed = [&] { return !open_ || (queue_.empty() && inFlight_ == 0); };
    if (timeoutMs < 0) {
      changed_.wait(lock, emptyOrClosed);
    } else if (!changed_.wait_until(lock, deadline, emptyOrClosed)) {
      return {SerialStatus::TIMEOUT, ETIMEDOUT};
    }
    if (!open_) return {SerialStatus::CANCELLED, ECANCELED};
  }
  int left = timeoutMs;
  if (timeoutMs >= 0) {
    auto rest = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    left = static_cast<int>(std::max<decltype(rest)>(rest, 0));
  }
  return inner_->Drain(left);
}

SerialResult LineModelDevice::BytesWaiting() { return inner_->BytesWaiting(); }

SerialResult LineModelDevice::Read(uint8_t* buffer, size_t max) {
  return inner_->Read(buffer, max);
}

SerialResult LineModelDevice::Write(const uint8_t* data, size_t length) {
  auto deadline = Clock::now() + std::chrono::milliseconds(options_.writeStallMs);
  std::unique_lock<std::mutex> lock(mutex_);
  size_t done = 0;
  while (done < length) {
    if (!open_) {
      if (done == 0) return {SerialStatus::FAILED, EBADF};
      return {SerialStatus::CANCELLED, ECANCELED, done};
    }
    size_t room = options_.queueBytes - std::min(options_.queueBytes, queue_.size());
    if (room == 0) {
      // A full queue: wait for the pump to empty half of it (as a driver
      // wakes its writer only for a good stretch of room), for a close, or
      // for the bound.
      if (!changed_.wait_until(lock, deadline,
                               [&] { return !open_ || queue_.size() <= options_.queueBytes / 2; })) {
        return {SerialStatus::TIMEOUT, ETIMEDOUT, done};
      }
      continue;
    }
    size_t n = std::min(room, length - done);
    const bool wasEmpty = queue_.empty();
    queue_.insert(queue_.end(), data + done, data + done + n);
    done += n;
    // Only an idle pump waits for bytes; a busy one wakes on its own clock.
    if (wasEmpty) changed_.notify_all();
  }
  return {SerialStatus::OK, 0, done};
}

SerialResult LineModelDevice::WaitForData(int timeoutMs) { return inner_->WaitForData(timeoutMs); }

SerialResult LineModelDevice::GetCts(bool* cts) { return inner_->GetCts(cts); }

SerialResult LineModelDevice::SetDtr(bool on) { return inner_->SetDtr(on); }

SerialResult LineModelDevice::ClearError() { return inner_->ClearError(); }

uint64_t LineModelDevice::GarbledBytes() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return garbled_;
}

void LineModelDevice::Pump() {
  std::vector<uint8_t> batch;
  std::unique_lock<std::mutex> lock(mutex_);
  while (open_) {
    auto now = Clock::now();
    size_t n = line_.Available(now, queue_.size());
    if (n > 0) {
      batch.assign(queue_.begin(), queue_.begin() + static_cast<long>(n));
      queue_.erase(queue_.begin(), queue_.begin() + static_cast<long>(n));
      line_.Consume(n);
      inFlight_ = n;
      lock.unlock();
      // A failed write loses the bytes, as a cable pulled mid-send would.
      (void)inner_->Write(batch.data(), batch.size());
      lock.lock();
      inFlight_ = 0;
      if (queue_.size() <= options_.queueBytes / 2) changed_.notify_all();
      continue;
    }
    if (queue_.empty()) {
      changed_.wait(lock);
      continue;
    }
    Clock::duration wait = std::max(line_.UntilNext(now), std::min(line_.UntilAll(now), PUMP_SLICE));
    changed_.wait_until(lock, now + std::min(wait, MAX_WAIT));
  }
}

}  // namespace quillon::sim
