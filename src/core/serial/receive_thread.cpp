#include "core/serial/receive_thread.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>

#include "core/app.h"
#include "core/app/event_log.h"
#include "core/protocol/parser.h"
#include "core/serial/serial_port.h"

namespace quillon {

namespace {

// With no port open the thread looks at the link this often.
constexpr int IDLE_STEP_MS = 500;
// A wait on an open port is bounded too, so a lost wake-up costs at most this.
constexpr int WAIT_BOUND_MS = 500;

// Waits up to ms, or until a stop or a wake is asked for. Returns false when
// the thread is to stop.
bool IdleWait(ReceiveThreadState& state, uint32_t ms) {
  std::unique_lock<std::mutex> lock(state.idleMutex);
  state.idleWake.wait_for(lock, std::chrono::milliseconds(ms), [&] {
    return state.stopRequested.load() != 0 || state.wakeRequested;
  });
  state.wakeRequested = false;
  return state.stopRequested.load() == 0;
}

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

bool ByteTap::Active() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return active_;
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

ByteTap::Result ByteTap::WaitFor(const std::vector<uint8_t>& pattern, int timeoutMs) {
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
    if (bytes_.size() > keep) {
      bytes_.erase(bytes_.begin(), bytes_.end() - static_cast<std::ptrdiff_t>(keep));
    }
    return false;
  };
  auto done = [&] { return matched() || cancelled_; };
  bool finished;
  if (timeoutMs < 0) {
    changed_.wait(lock, done);
    finished = true;
  } else {
    // steady_clock: a change of the wall clock must not stretch the bound.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    finished = changed_.wait_until(lock, deadline, done);
  }
  if (!finished) return Result::TIMED_OUT;
  // A match that arrived together with a cancel still counts.
  if (cancelled_ && !matched()) return Result::CANCELLED;
  return Result::MATCHED;
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

void StartReceiveThread(App& app) {
  ReceiveThreadState& state = app.receiver;
  if (state.thread.joinable()) return;
  state.thread = std::thread([&app] { RS232_CommEventThread(app); });
}

void WakeReceiveThread(App& app) {
  {
    std::lock_guard<std::mutex> lock(app.receiver.idleMutex);
    app.receiver.wakeRequested = true;
  }
  app.receiver.idleWake.notify_all();
}

void StopReceiveThread(App& app) {
  ReceiveThreadState& state = app.receiver;
  {
    // Raised under the idle lock, so an idle wait cannot miss it.
    std::lock_guard<std::mutex> lock(state.idleMutex);
    state.stopRequested.store(1);
  }
  state.idleWake.notify_all();
  if (std::shared_ptr<SerialDevice> port = app.link.Port()) port->CancelWait();
  if (state.thread.joinable() && state.thread.get_id() != std::this_thread::get_id()) {
    state.thread.join();
  }
}

void RS232_CommEventThread(App& app) {
  ReceiveThreadState& state = app.receiver;
  // Failed waits in a row on the same port: the first beeps, each is
  // followed by a pause, so a pulled cable neither spins nor beeps on and on.
  int failuresInRow = 0;
  while (state.stopRequested.load() == 0) {
    std::shared_ptr<SerialDevice> port = app.link.Port();
    if (!port) {
      failuresInRow = 0;
      IdleWait(state, IDLE_STEP_MS);
      continue;
    }
    int error = 0;
    WaitResult result = port->WaitForData(WAIT_BOUND_MS, &error);
    if (result == WaitResult::DATA) {
      failuresInRow = 0;
      RS232_DrainReceive(app);
    } else if (result == WaitResult::FAILED) {
      port->ClearError();
      // A port taken off the link fails its wait as it closes: no fault.
      if (app.link.Port() != port) continue;
      if (failuresInRow++ == 0) app.host.Beep();
      IdleWait(state, app.limits.failedWaitPauseMs);
    } else {
      failuresInRow = 0;
    }
  }
}

void RS232_DrainReceive(App& app) {
  ReceiveThreadState& state = app.receiver;
  uint8_t block[RX_BLOCK_SIZE];
  for (;;) {
    size_t count = RS232_ReadAvailable(app, block, RX_BLOCK_SIZE);
    if (count == 0) return;
    // A waiting flash erase takes the bytes; otherwise the parser sees the
    // block before anything is logged.
    if (!state.tap.Offer(block, count)) {
      if (state.parserHook) {
        state.parserHook(block, count);
      } else {
        RS232_ReceiveBytes(app, block, count);
      }
    }
    if (state.rawLogging.load() != 0) AddLogText(app, FormatRawLine(block, count));
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
