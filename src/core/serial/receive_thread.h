// The receive thread: waits for bytes from the readout, drains them in
// blocks and hands each block to the packet parser (or to a waiting flash
// erase), with optional raw logging.
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

struct App;

constexpr size_t RX_BLOCK_SIZE = 511;

// While a flash erase waits for its answer, the drain hands received bytes
// here instead of to the packet parser, so the answer cannot be lost.
class ByteTap {
 public:
  void Begin();
  void End();
  bool Active() const;
  // Called by the drain; returns false when no one is waiting (bytes not taken).
  bool Offer(const uint8_t* data, size_t count);
  // Waits until the pattern has arrived (matched over the bytes as a sliding
  // window), the deadline passes, or Cancel is called.
  enum class Result { MATCHED, TIMED_OUT, CANCELLED };
  Result WaitFor(const std::vector<uint8_t>& pattern, int timeoutMs);
  void Cancel();

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  bool active_ = false;
  bool cancelled_ = false;
  std::deque<uint8_t> bytes_;
};

struct ReceiveThreadState {
  std::atomic<int> stopRequested{0};
  std::atomic<int> rawLogging{0};
  ByteTap tap;
  std::thread thread;
  // Where drained blocks go when no erase takes them; empty means the packet
  // parser (RS232_ReceiveBytes). Set before the thread starts, never after.
  std::function<void(const uint8_t*, size_t)> parserHook;
  // The idle wait between looks at the link, cut short by a stop or by a
  // newly opened port.
  std::mutex idleMutex;
  std::condition_variable idleWake;
  bool wakeRequested = false;  // guarded by idleMutex
};

// Starts and stops (joins) the thread. StopReceiveThread raises the stop
// flag and ends any wait on the port.
void StartReceiveThread(App& app);
void StopReceiveThread(App& app);
// Ends the thread's idle wait early, so a newly opened port is served at once.
void WakeReceiveThread(App& app);

void RS232_CommEventThread(App& app);
void RS232_DrainReceive(App& app);
// The "RAW_DATA: " line for a block.
std::string FormatRawLine(const uint8_t* data, size_t count);

}  // namespace quillon
