// The simulator on a real line: a pseudo-terminal it creates (or a device it
// is given), the engine driven by a steady clock, optional pacing at a baud
// rate, an optional model of a USB bridge's timing, and a loop that runs on
// the calling thread or on a thread of its own.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "sim/pacing.h"
#include "sim/sim_engine.h"
#include "sim/sim_options.h"
#include "sim/transcript.h"

namespace quillon::sim {

enum class LineKind {
  PTY,  // bytes paced by a token bucket (--baud), passed on at once
  USB,  // UART timing in both directions; the readout's bytes leave on 1 ms USB frames
};

struct LineOptions {
  std::string device;  // empty: a new pseudo-terminal
  uint32_t baud = 0;   // 0: unpaced
  LineKind kind = LineKind::PTY;
  std::string transcript;     // JSON lines file, empty for none
  bool exitOnExpect = false;  // the loop ends once the expected image size arrived
};

class SimLine {
 public:
  SimLine(SimOptions options, LineOptions line);
  ~SimLine();
  SimLine(const SimLine&) = delete;
  SimLine& operator=(const SimLine&) = delete;

  // Opens the line; on failure false with a message.
  bool Open(std::string* error);
  // The path the host opens: the pseudo-terminal's slave, or the device.
  const std::string& Path() const { return path_; }

  // Runs until Stop, a hang-up, or (exitOnExpect) the expected image.
  void Run();
  // Runs the loop on a thread of its own.
  void StartThread();
  // Ends the loop (from any thread, or from a signal handler) and joins the thread.
  void Stop();
  // Async-signal-safe request to end the loop.
  void RequestStop();

  Transcript& transcript() { return transcript_; }
  // Read from any thread.
  uint64_t ImageBytes() const { return imageBytes_.load(); }
  int Erases() const { return erases_.load(); }
  bool HungUp() const { return hungUp_.load(); }
  bool Finished() const { return finished_.load(); }
  uint64_t ReceivedBytes() const { return rxTotal_.load(); }

  void SetDisplay(std::function<void(const std::string&)> display);
  void SetNotice(std::function<void(const std::string&)> notice);

 private:
  using Clock = TokenBucket::Clock;
  // What a step of the loop did with the line.
  enum class Flow { IDLE, MOVED, END };
  // The loop's own state: pacing both ways, the chunks on their way out.
  struct Loop;

  uint64_t NowMs() const;
  void CloseLine();
  // The engine's turn: its timers run, its due chunks join the queue for the
  // line. False once the expected image is in and the loop is to end.
  bool RunEngine(Loop& loop, uint64_t now);
  // Writes what the pacing lets through of the chunk on its way out.
  Flow WriteSome(Loop& loop, Clock::time_point now);
  // Reads what the pacing lets through of the host's bytes, into the engine.
  Flow ReadSome(Loop& loop, Clock::time_point now);
  // --hangup-after: the line closes as a readout unplugged would.
  void HangUpOnPurpose();
  // Sleeps until the line, the engine, the pacing or a stop request has
  // something to do; false when the line is gone.
  bool WaitForWork(Loop& loop, uint64_t now, Clock::time_point tnow);
  void PublishCounts();

  SimOptions options_;
  LineOptions line_;
  Transcript transcript_;
  std::unique_ptr<SimEngine> engine_;
  Clock::time_point start_;
  int fd_ = -1;       // master or device
  int slaveFd_ = -1;  // held open so the master never sees a hang-up
  int wakeRead_ = -1;
  int wakeWrite_ = -1;
  std::string path_;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::atomic<uint64_t> imageBytes_{0};
  std::atomic<int> erases_{0};
  std::atomic<bool> hungUp_{false};
  std::atomic<bool> finished_{false};
  std::atomic<uint64_t> rxTotal_{0};
};

}  // namespace quillon::sim
