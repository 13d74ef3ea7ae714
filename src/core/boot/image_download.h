// The bootloader jobs of one port: streaming a firmware image raw to the
// readout, and erasing its user storage with the two-byte exchange. At most
// one runs at a time, on a worker thread of its own; its end is posted to
// the handler thread, which joins the worker and reports the outcome.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "core/jobs.h"

namespace quillon {

class EngineObserver;
class EventLog;
class Host;
class ReceiveThread;
class SerialLink;

// Baud rate the line is left at after a download.
constexpr uint32_t BAUD_AFTER_DOWNLOAD = 38400;
// Pause before a failed write is offered again, so a dead port is not spun on.
constexpr uint32_t WRITE_RETRY_PAUSE_MS = 20;
constexpr uint8_t ERASE_COMMAND[2] = {0x07, 0x06};
// The line's rate for the erase; it is left in force afterwards.
constexpr uint32_t ERASE_BAUD = 115200;

class BootJobs {
 public:
  BootJobs(SerialLink& link, ReceiveThread& receiver, EventLog& log, Host& host,
           EngineObserver& observer, const Limits& limits);
  ~BootJobs();
  BootJobs(const BootJobs&) = delete;
  BootJobs& operator=(const BootJobs&) = delete;

  // False while a worker runs or its end has not been reported yet, so a
  // stale end can never be taken for a new run's.
  bool Idle() const;
  // The image must stay valid until the job has ended.
  StartResult StartDownload(const uint8_t* data, size_t size, uint32_t baudRate, DownloadRun run);
  StartResult StartErase();
  // Handler thread, on the worker's posted end: joins it and reports.
  void OnBootDone();
  // Any thread: asks a running worker to give up soon.
  void Stop();
  // The port was closed under a running job: an erase stops waiting.
  void OnPortClosed();
  uint64_t SentCount() const { return sentCount_.load(); }
  uint64_t ImageSize() const { return imageSize_.load(); }

  void ImageDownloadThread();
  void FlashEraseThread();
  // Waits for the readout's 07 06 on the receive thread's byte tap, which
  // the erase opened before sending. 1 when it came, 0 otherwise.
  int WaitEraseAnswer();

 private:
  // Writes data whole, retrying failed writes until writeStallMs passes
  // without progress; false (with end_ filled) when it cannot.
  bool WriteAll(const uint8_t* data, size_t length, bool progress);
  void Fail(Cause cause, const std::string& reason);
  void Finish();

  SerialLink& link_;
  ReceiveThread& receiver_;
  EventLog& log_;
  Host& host_;
  EngineObserver& observer_;
  const Limits& limits_;

  std::atomic<bool> bootBusy_{false};
  std::atomic<bool> stopRequested_{false};
  std::thread worker_;
  // Set by the start, then only by the worker it starts; read after the join.
  const uint8_t* imageCursor_ = nullptr;
  DownloadRun downloadRun_ = DownloadRun::GUIDED_IMAGE;
  std::atomic<uint64_t> imageSize_{0};
  std::atomic<uint64_t> sentCount_{0};
  JobEnd end_;
};

}  // namespace quillon
