// The receive thread and the erase's byte tap.
#include "core/serial/receive_thread.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>

#include "core/host.h"
#include "core/jobs.h"
#include "core/log/event_log.h"
#include "core/serial/serial_port.h"

namespace quillon {

namespace {

// With no port open (or a dead one) the thread looks at the link this often.
constexpr uint32_t IDLE_STEP_MS = 500;
// A wait on an open port is bounded too, so a lost wake-up costs at most this.
constexpr int WAIT_BOUND_MS = 500;

}  // namespace

// ---------------------------------------------------------------------------
// ByteTap

void ByteTap::Begin() {
  std::lock_guard<std::mutex> lock(mutex_);
  active_ = true;
  cancelled_ = false;
  bytes_.clear();
}

void ByteTap::End() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    active_ = false;
    bytes_.clear();
  }
  changed_.notify_all();
}

bool ByteTap::Offer(const uint8_t* data, size_t count) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!active_) return false;
    bytes_.insert(bytes_.end(), data, data + count);
  }
  changed_.notify_all();
  return true;
}

ByteTap::Result ByteTap::WaitFor(const std::vector<uint8_t>& pattern, uint32_t timeoutMs) {
  std::unique_lock<std::mutex> lock(mutex_);
  // Looks for the pattern in what has arrived; takes the bytes up to its end
  // when found, and otherwise keeps only a tail that could still begin it.
  auto matched = [&] {
    if (pattern.empty()) return true;
    auto at = std::search(bytes_.begin(), bytes_.end(), pattern.begin(), pattern.end());
    if (at != bytes_.end()) {
      bytes_.erase(bytes_.begin(), at + static_cast<std::ptrdiff_t>(pattern.size()));
      return true;
    }
    size_t keep = pattern.size() - 1;
    if (bytes_.size() > keep) bytes_.erase(bytes_.begin(), bytes_.end() - static_cast<std::ptrdiff_t>(keep));
    return false;
  };
  // steady_clock: a change of the wall clock must not stretch the bound.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  bool found = false;
  bool finished = changed_.wait_until(lock, deadline, [&] { return (found = matched()) || cancelled_; });
  if (found) return Result::MATCHED;  // a match that came with a cancel still counts
  return finished ? Result::CANCELLED : Result::TIMED_OUT;
}

void ByteTap::Cancel() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    cancelled_ = true;
  }
  changed_.notify_all();
}

// ---------------------------------------------------------------------------
// The thread

ReceiveThread::ReceiveThread(SerialLink& link, EventLog& log, Host& host, EngineObserver& observer,
                             BlockSink sink, uint32_t failedWaitPauseMs)
    : link_(link), log_(log), host_(host), observer_(observer), sink_(std::move(sink)),
      failedWaitPauseMs_(failedWaitPauseMs) {}

ReceiveThread::~ReceiveThread() { Stop(); }

void ReceiveThread::Start() {
  if (thread_.joinable()) return;
  stopRequested_.store(false);
  thread_ = std::thread([this] { RS232_CommEventThread(); });
}

void ReceiveThread::Wake() {
  {
    std::lock_guard<std::mutex> lock(idleMutex_);
    wakeRequested_ = true;
  }
  idleWake_.notify_all();
}

void ReceiveThread::Stop() {
  {
    // Raised under the idle lock, so an idle wait cannot miss it.
    std::lock_guard<std::mutex> lock(idleMutex_);
    stopRequested_.store(true);
  }
  idleWake_.notify_all();
  if (auto port = link_.Port()) port->CancelWait();
  if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

bool ReceiveThread::IdleWait(uint32_t ms) {
  std::unique_lock<std::mutex> lock(idleMutex_);
  idleWake_.wait_for(lock, std::chrono::milliseconds(ms),
                     [&] { return stopRequested_.load() || wakeRequested_; });
  wakeRequested_ = false;
  return !stopRequested_.load();
}

void ReceiveThread::RS232_CommEventThread() {
  // Failed waits in a row on the same port: the first is reported, each is
  // followed by a pause, so a troubled line neither spins nor beeps on and on.
  int failuresInRow = 0;
  std::shared_ptr<SerialDevice> dead;  // a port found gone: never waited on again
  while (!stopRequested_.load()) {
    std::shared_ptr<SerialDevice> port = link_.Port();
    if (!port || port == dead) {
      failuresInRow = 0;
      IdleWait(IDLE_STEP_MS);
      continue;
    }
    const SerialStatus result = port->WaitForData(WAIT_BOUND_MS).status;
    if (result == SerialStatus::OK) {
      failuresInRow = 0;
      RS232_DrainReceive();
    } else if (result == SerialStatus::GONE) {
      dead = port;
      // Marked lost before the waiting erase is woken, so it learns why;
      // it learns it now, not at a bound.
      const bool first = link_.MarkLost(port);
      tap_.Cancel();
      if (first) host_.Post(UiMessage{UiMessage::PORT_LOST, nullptr, false});
    } else if (result == SerialStatus::FAILED) {
      port->ClearError();
      // A port taken off the link fails its wait as it closes: no fault.
      if (link_.Port() != port) continue;
      if (failuresInRow++ == 0) observer_.OnPortWaitFailed();
      IdleWait(failedWaitPauseMs_);
    } else {
      failuresInRow = 0;
    }
  }
}

void ReceiveThread::RS232_DrainReceive() {
  uint8_t block[RX_BLOCK_SIZE];
  for (;;) {
    size_t count = RS232_ReadAvailable(link_, block, RX_BLOCK_SIZE);
    if (count == 0) return;
    // A waiting flash erase takes the bytes; otherwise the parser sees the
    // block before anything is logged.
    if (!tap_.Offer(block, count)) sink_(block, count);
    if (rawLogging_.load()) log_.Add(FormatRawLine(block, count));
  }
}

std::string FormatRawLine(const uint8_t* data, size_t count) {
  std::string line = "RAW_DATA: ";
  line.reserve(line.size() + count * 6);
  for (size_t i = 0; i < count; ++i) {
    int value = static_cast<int8_t>(data[i]);
    if (value >= 32 && value <= 126) {
      line.push_back(static_cast<char>(value));
    } else {
      char text[8];
      std::snprintf(text, sizeof text, "[%d]", value);
      line += text;
    }
  }
  return line;
}

}  // namespace quillon
