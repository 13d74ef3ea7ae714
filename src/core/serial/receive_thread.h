// The receive thread: waits for bytes from the readout, drains them in
// blocks and hands each block to its sink (the packet parser) or to a
// waiting flash erase, with optional raw logging. A port that goes away is
// reported once and not waited on again.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace quillon {

class EngineObserver;
class EventLog;
class Host;
class SerialLink;

constexpr size_t RX_BLOCK_SIZE = 511;

// While a flash erase waits for its answer, the drain hands received bytes
// here instead of to the packet parser, so the answer cannot be lost.
class ByteTap {
 public:
  void Begin();
  void End();
  // Called by the drain; false when no one is waiting (bytes not taken).
  bool Offer(const uint8_t* data, size_t count);
  // Waits until the pattern has arrived (matched over the bytes as a sliding
  // window), the bound passes, or Cancel is called.
  enum class Result { MATCHED, TIMED_OUT, CANCELLED };
  Result WaitFor(const std::vector<uint8_t>& pattern, uint32_t timeoutMs);
  void Cancel();

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  bool active_ = false;
  bool cancelled_ = false;
  std::deque<uint8_t> bytes_;
};

class ReceiveThread {
 public:
  using BlockSink = std::function<void(const uint8_t*, size_t)>;
  ReceiveThread(SerialLink& link, EventLog& log, Host& host, EngineObserver& observer,
                BlockSink sink, uint32_t failedWaitPauseMs);
  ~ReceiveThread();
  ReceiveThread(const ReceiveThread&) = delete;
  ReceiveThread& operator=(const ReceiveThread&) = delete;

  void Start();
  // Raises the stop flag, ends any wait on the port and joins the thread.
  void Stop();
  // Ends the idle wait early, so a newly opened port is served at once.
  void Wake();
  void SetRawLogging(bool on) { rawLogging_.store(on); }
  bool RawLogging() const { return rawLogging_.load(); }
  ByteTap& Tap() { return tap_; }

  void RS232_CommEventThread();
  void RS232_DrainReceive();

 private:
  // Waits up to ms, or until a stop or a wake; false when the thread is to stop.
  bool IdleWait(uint32_t ms);

  SerialLink& link_;
  EventLog& log_;
  Host& host_;
  EngineObserver& observer_;
  BlockSink sink_;
  const uint32_t failedWaitPauseMs_;
  std::atomic<bool> stopRequested_{false};
  std::atomic<bool> rawLogging_{false};
  ByteTap tap_;
  std::thread thread_;
  std::mutex idleMutex_;
  std::condition_variable idleWake_;
  bool wakeRequested_ = false;  // guarded by idleMutex_
};

// The "RAW_DATA: " line for a block.
std::string FormatRawLine(const uint8_t* data, size_t count);

}  // namespace quillon
