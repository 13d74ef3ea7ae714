// One job on one port: an engine of its own on a host of its own, run by a
// loop on the calling thread until the job ends, a bound passes, the port
// goes away or the user interrupts. Several run at once, one per port.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "cli/options.h"
#include "cli/queue_host.h"
#include "cli/reporter.h"
#include "core/engine/engine.h"

namespace quillon::cli {

// The job as every port runs it.
struct JobSpec {
  Command command = Command::TEST;  // a command that runs on ports
  std::string name;                 // "download bootloader", "send settings", "test"
  Firmware firmware = Firmware::SOFTWARE;
  FileKind kind = FILE_KIND_BINARY;
  std::string file;         // the source, or the destination before a port's name is added
  std::string programName;
  uint32_t baud = 115200;
  DownloadRun downloadRun = DownloadRun::GUIDED_IMAGE;
  const std::vector<uint8_t>* image = nullptr;  // download: read only, shared by the ports
  bool several = false;  // the job runs on several ports at once
  std::string startFields;  // download: the image's identity, as the start event's fields
};

class PortRun : public EngineObserver {
 public:
  // destination: where this port's received file goes (receive, nlec get).
  PortRun(const Options& options, const JobSpec& job, std::string port, std::string destination,
          Reporter& reporter, const std::atomic<bool>& interrupted);
  ~PortRun() override;

  RunSummary Run();
  // Any thread: the user interrupted; ends a checksum pass or a wait at once.
  void Interrupt();

  // EngineObserver
  void OnLogLine(const std::string& line) override;
  void OnProgress(const ProgressEvent& event) override;
  void OnPortWaitFailed() override {}
  void OnJobEnd(const JobEnd& end) override;
  void OnFlashEraseResult(const std::string& text) override;
  void OnPacket(uint16_t command) override;
  void OnPortLost() override { portLost_ = true; }

 private:
  enum class LoopEnd { DONE, IDLE, DEADLINE, INTERRUPTED, PORT_LOST };
  template <typename Done>
  // heedInterrupt false: waits for a stopped job's end after an interrupt.
  LoopEnd Pump(Done done, double idleSeconds, double deadlineSeconds, bool heedInterrupt = true);
  double DownloadStopSeconds() const;
  // "at least N bytes reached the readout; ...": what the port accepted.
  std::string ReachedText() const;
  void CloseRow(int exitCode);
  void ShowProgress();
  RunSummary Finish(int exitCode, const std::string& outcome, const std::string& reason);
  // The words of a job that ended done.
  std::string DoneText() const;
  // After a download: the guide's last page, whose count the user compares
  // with the readout's.
  void ShowCountToCompare();
  RunSummary FromEnd();
  RunSummary Interrupted();
  RunSummary Transfer(StartResult started, const std::string& unit);
  RunSummary Download();
  RunSummary Erase();
  RunSummary Test();
  RunSummary Monitor();

  const Options& options_;
  const JobSpec& job_;
  const std::string port_;
  const std::string destination_;
  Reporter& reporter_;
  const std::atomic<bool>& interrupted_;
  std::unique_ptr<SerialFactory> factory_;
  QueueHost host_;
  std::unique_ptr<Engine> engine_;
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();

  // Written by the engine's threads, read by the loop.
  std::atomic<bool> stripShown_{false};
  std::atomic<uint32_t> stripMaximum_{0};
  std::atomic<uint32_t> stripPosition_{0};
  std::atomic<uint64_t> activity_{0};  // counts every sign of life
  // The loop's thread only.
  bool ended_ = false;
  JobEnd end_;
  bool portLost_ = false;
  bool rowClosed_ = false;  // the progress row has ended
  int packets_ = 0;
  std::string unit_ = "bytes";
  std::chrono::steady_clock::time_point eraseWaitStart_{};  // the erase's wait began
  std::string cause_;  // the cause of an end the engine did not report; empty: found in Finish
};

}  // namespace quillon::cli
