// What the benchmarks share: an engine run the way the command line runs
// one (a QueueHost and a loop on a handler thread of the caller's), the
// simulator's loop on a thread the benchmark owns, a pass-through port to
// watch the engine's calls with, and CPU clocks.
#pragma once

#include <pthread.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cinttypes>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "cli/queue_host.h"
#include "core/engine/engine.h"
#include "core/jobs.h"
#include "core/serial_device.h"
#include "sim/sim_line.h"

namespace quillon::bench {

using Clock = std::chrono::steady_clock;

inline double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

inline double CpuClockSeconds(clockid_t id) {
  timespec ts{};
  if (clock_gettime(id, &ts) != 0) return 0;
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// CPU time of the calling thread.
inline double ThreadCpuSeconds() { return CpuClockSeconds(CLOCK_THREAD_CPUTIME_ID); }

// CPU time of the whole process, user and system, exited threads included.
inline double ProcessCpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  auto seconds = [](const timeval& tv) {
    return static_cast<double>(tv.tv_sec) + static_cast<double>(tv.tv_usec) * 1e-6;
  };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// The calling thread's CPU clock, for reading from another thread while
// this one lives.
inline clockid_t ThisThreadClock() {
  clockid_t id{};
  if (pthread_getcpuclockid(pthread_self(), &id) != 0) return CLOCK_THREAD_CPUTIME_ID;
  return id;
}

inline pid_t ThisTid() { return static_cast<pid_t>(::syscall(SYS_gettid)); }

// Voluntary context switches of a thread of this process (its wake-ups
// after blocking); 0 once the thread is gone.
inline uint64_t Wakeups(pid_t tid) {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/self/task/%d/status", static_cast<int>(tid));
  std::FILE* f = std::fopen(path, "r");
  if (!f) return 0;
  char line[256];
  uint64_t count = 0;
  while (std::fgets(line, sizeof line, f)) {
    if (std::sscanf(line, "voluntary_ctxt_switches: %" SCNu64, &count) == 1) break;
  }
  std::fclose(f);
  return count;
}

inline std::vector<uint8_t> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// What an engine reports. The job end comes on the handler thread, which is
// also the only one that reads it while the engine runs.
class Observer : public EngineObserver {
 public:
  void OnLogLine(const std::string& line) override {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.push_back(line);
  }
  void OnProgress(const ProgressEvent&) override {}
  void OnPortWaitFailed() override {}
  void OnJobEnd(const JobEnd& jobEnd) override {
    end = jobEnd;
    endAt = Clock::now();
    ended = true;
  }
  void OnFlashEraseResult(const std::string&) override {}
  void OnPacket(uint16_t) override { ++packets; }
  void OnPortLost() override { portLost = true; }

  std::vector<std::string> Lines() {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
  }
  // The log's last line, to say why a run failed.
  std::string LastLine() {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_.empty() ? std::string() : lines_.back();
  }

  // The handler thread's.
  bool ended = false;
  JobEnd end;
  Clock::time_point endAt;
  uint64_t packets = 0;
  bool portLost = false;

 private:
  std::mutex mutex_;
  std::vector<std::string> lines_;
};

// One engine on one port, with the command line's host. Pump is its loop:
// it runs on the thread that calls it, which is the engine's handler thread.
class EngineRun {
 public:
  explicit EngineRun(SerialFactory& factory, Limits limits = {})
      : engine_(std::make_unique<Engine>(host_, factory, observer_, limits)) {}
  ~EngineRun() { engine_.reset(); }
  EngineRun(const EngineRun&) = delete;
  EngineRun& operator=(const EngineRun&) = delete;

  Engine& engine() { return *engine_; }
  Observer& observer() { return observer_; }

  // Posted messages are dispatched as they come and the answer timeouts
  // ticked every 100 ms, until done() holds (true) or the deadline (false).
  // Between the two the thread sleeps on the host's queue: no spinning.
  template <typename Done>
  bool Pump(Done done, Clock::time_point deadline) {
    constexpr auto TICK = std::chrono::milliseconds(100);
    auto nextTick = Clock::now() + TICK;
    for (;;) {
      if (done()) return true;
      if (Clock::now() >= deadline) return false;
      if (auto message = host_.Wait(std::min(nextTick, deadline)))
        engine_->Dispatch(std::move(*message));
      const auto now = Clock::now();
      if (now >= nextTick) {
        engine_->Tick();
        nextTick += TICK;
        if (nextTick <= now) nextTick = now + TICK;
      }
    }
  }
  // Until the running job has reported its end.
  bool RunJob(Clock::time_point deadline) {
    return Pump([this] { return observer_.ended; }, deadline);
  }

 private:
  cli::QueueHost host_;
  Observer observer_;
  std::unique_ptr<Engine> engine_;
};

// The simulator's loop on a thread of the benchmark's own, so its end (a
// line with exitOnExpect ends once the image is whole) can be waited for
// with a bound, and its CPU time and wake-ups read.
class SimThread {
 public:
  explicit SimThread(sim::SimLine& line) : line_(line) {}
  ~SimThread() { Stop(); }
  SimThread(const SimThread&) = delete;
  SimThread& operator=(const SimThread&) = delete;

  void Start() {
    std::unique_lock<std::mutex> lock(mutex_);
    thread_ = std::thread([this] {
      {
        std::lock_guard<std::mutex> started(mutex_);
        clock_ = ThisThreadClock();
        tid_ = ThisTid();
        running_ = true;
      }
      changed_.notify_all();
      line_.Run();
      const double cpu = ThreadCpuSeconds();
      const uint64_t wakeups = Wakeups(ThisTid());
      std::lock_guard<std::mutex> ended(mutex_);
      cpu_ = cpu;
      wakeups_ = wakeups;
      endedAt_ = Clock::now();
      running_ = false;
      ended_ = true;
      changed_.notify_all();
    });
    changed_.wait(lock, [this] { return running_ || ended_; });
  }
  // True once the loop has ended, false when the deadline came first.
  bool WaitEnd(Clock::time_point deadline) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_until(lock, deadline, [this] { return ended_; });
  }
  void Stop() {
    line_.RequestStop();
    if (thread_.joinable()) thread_.join();
  }
  // The loop's CPU time so far, or in all once it has ended.
  double CpuSeconds() {
    std::lock_guard<std::mutex> lock(mutex_);
    return running_ ? CpuClockSeconds(clock_) : cpu_;
  }
  uint64_t WakeupCount() {
    std::lock_guard<std::mutex> lock(mutex_);
    return running_ ? Wakeups(tid_) : wakeups_;
  }
  Clock::time_point EndedAt() {
    std::lock_guard<std::mutex> lock(mutex_);
    return endedAt_;
  }

 private:
  sim::SimLine& line_;
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable changed_;
  clockid_t clock_{};
  pid_t tid_ = 0;
  bool running_ = false;
  bool ended_ = false;
  double cpu_ = 0;
  uint64_t wakeups_ = 0;
  Clock::time_point endedAt_;
};

// Every call goes through to the wrapped device; subclasses watch the ones
// they care about.
class DeviceProxy : public SerialDevice {
 public:
  explicit DeviceProxy(std::shared_ptr<SerialDevice> inner) : inner_(std::move(inner)) {}
  SerialResult Open(const std::string& name, const LineSettings& settings) override {
    return inner_->Open(name, settings);
  }
  bool IsOpen() const override { return inner_->IsOpen(); }
  void CancelWait() override { inner_->CancelWait(); }
  SerialResult Close() override { return inner_->Close(); }
  SerialResult SetBaudRate(uint32_t baud) override { return inner_->SetBaudRate(baud); }
  SerialResult Drain(int timeoutMs) override { return inner_->Drain(timeoutMs); }
  SerialResult BytesWaiting() override { return inner_->BytesWaiting(); }
  SerialResult Read(uint8_t* buffer, size_t max) override { return inner_->Read(buffer, max); }
  SerialResult Write(const uint8_t* data, size_t length) override {
    return inner_->Write(data, length);
  }
  SerialResult WaitForData(int timeoutMs) override { return inner_->WaitForData(timeoutMs); }
  SerialResult GetCts(bool* cts) override { return inner_->GetCts(cts); }
  SerialResult SetDtr(bool on) override { return inner_->SetDtr(on); }
  SerialResult ClearError() override { return inner_->ClearError(); }

 protected:
  const std::shared_ptr<SerialDevice> inner_;
};

}  // namespace quillon::bench
