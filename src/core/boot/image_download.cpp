// Streaming a firmware image raw to the readout's bootloader: exactly as
// stored, in blocks of up to 16 KiB, straight from the source's memory.
// Before the rate changes the port's transmit queue must have emptied, or
// the image's last bytes leave at the new rate.
#include "core/boot/image_download.h"

#include <algorithm>

#include "core/host.h"
#include "core/log/event_log.h"
#include "core/serial/receive_thread.h"
#include "core/serial/serial_port.h"

namespace quillon {

BootJobs::BootJobs(SerialLink& link, ReceiveThread& receiver, EventLog& log, Host& host,
                   EngineObserver& observer, const Limits& limits)
    : link_(link), receiver_(receiver), log_(log), host_(host), observer_(observer), limits_(limits) {}

BootJobs::~BootJobs() {
  Stop();
  if (worker_.joinable()) worker_.join();
}

bool BootJobs::Idle() const { return !bootBusy_.load() && !worker_.joinable(); }

void BootJobs::Stop() {
  stopRequested_.store(true);
  receiver_.Tap().Cancel();
}

void BootJobs::OnPortClosed() {
  if (!Idle()) receiver_.Tap().Cancel();
}

StartResult BootJobs::StartDownload(const uint8_t* data, size_t size, uint32_t baudRate,
                                    DownloadRun run) {
  if (!Idle()) return StartResult::Refused("a download or an erase is already running");
  if (!link_.IsOpen()) return StartResult::Refused("no port is open");
  // An image sent at a rate the bootloader does not expect arrives as
  // garbage while every byte counts as sent.
  if (SerialResult rate = RS232_SetBaudRate(link_, baudRate); !rate)
    return StartResult::Refused(BaudRateFailure(baudRate, rate));
  end_ = JobEnd{};
  end_.job = Job::DOWNLOAD;
  end_.expected = size;
  imageCursor_ = data;
  imageSize_.store(size);
  sentCount_.store(0);
  observer_.OnProgress({ProgressEvent::CREATE, static_cast<uint32_t>((size / 1000) & 0xFFFF), false});
  downloadRun_ = run;
  stopRequested_.store(false);
  // Raised here as well as in the worker, so a second start right after
  // this one is refused even before the worker has run.
  bootBusy_.store(true);
  worker_ = std::thread([this] { ImageDownloadThread(); });
  return StartResult::Ok();
}

void BootJobs::Fail(Cause cause, const std::string& reason) {
  end_.outcome = cause == Cause::STOPPED ? Outcome::INTERRUPTED : Outcome::FAILED;
  end_.cause = cause;
  end_.reason = reason;
}

bool BootJobs::WriteAll(const uint8_t* data, size_t length, bool progress) {
  size_t done = 0;
  uint32_t lastProgress = host_.TickCount();
  while (done < length) {
    if (stopRequested_.load()) {
      Fail(Cause::STOPPED, "stopped");
      return false;
    }
    if (link_.Lost()) {
      Fail(Cause::PORT_LOST, "the readout's port went away (unplugged?)");
      return false;
    }
    // Read anew each time: the handler thread may close the port at any moment.
    auto port = link_.Port();
    size_t written = 0;
    const size_t block = std::min(IMAGE_BLOCK_SIZE, length - done);
    if (port) {
      SerialResult result = port->Write(data + done, block);
      written = std::min(result.count, block);
      if (!result || written == 0) port->ClearError();
    }
    if (written == 0) {
      // The same data is offered again, but not for ever: a closed port or a
      // stalled line must not leave the worker spinning with the job busy.
      if (host_.TickCount() - lastProgress >= limits_.writeStallMs) {
        if (port) {
          Fail(Cause::PORT_STALLED, "the port stopped accepting data");
        } else {
          Fail(Cause::PORT_CLOSED, "the port was closed");
        }
        return false;
      }
      host_.Sleep(WRITE_RETRY_PAUSE_MS);
      continue;
    }
    lastProgress = host_.TickCount();
    done += written;
    if (progress) {
      uint64_t sent = sentCount_.fetch_add(written) + written;
      if (sent <= imageSize_.load()) {
        observer_.OnProgress({ProgressEvent::SET, static_cast<uint32_t>(sent / 1000), false});
      }
    }
  }
  return true;
}

void BootJobs::ImageDownloadThread() {
  bootBusy_.store(true);
  const uint64_t total = imageSize_.load();
  log_.Add(downloadRun_ == DownloadRun::BOOTLOADER_UPDATE
               ? "Loading new bootloader ... "
               : "Loading new software version ... (~4 min.)");
  bool sent = WriteAll(imageCursor_, total, true);
  if (sent) {
    // The rate may change only once the last byte has left the port.
    auto port = link_.Port();
    if (!port || !port->Drain(static_cast<int>(limits_.writeStallMs))) {
      sent = false;
      if (link_.Lost()) {
        Fail(Cause::PORT_LOST, "the readout's port went away (unplugged?)");
      } else if (!port) {
        Fail(Cause::PORT_CLOSED, "the port was closed");
      } else {
        Fail(Cause::PORT_STALLED, "the port stopped sending the last bytes");
      }
    }
  }
  end_.bytes = sentCount_.load();
  bootBusy_.store(false);
  if (sent) {
    log_.Add("Done loading.");
  } else {
    LogLine(log_, 0, "Download failed after %llu of %llu bytes: %s.",
            static_cast<unsigned long long>(end_.bytes), static_cast<unsigned long long>(total),
            end_.reason.c_str());
  }
  host_.Sleep(100);
  // Set whatever the outcome, so the line's rate after a run never depends on
  // how the run went; a new start sets its own rate anyway.
  if (SerialResult rate = RS232_SetBaudRate(link_, BAUD_AFTER_DOWNLOAD); !rate && link_.IsOpen())
    LogLine(log_, 0, "The port could not be set back to %u baud (error %d).",
            static_cast<unsigned>(BAUD_AFTER_DOWNLOAD), rate.code);
  host_.Post(UiMessage{UiMessage::BOOT_DONE, nullptr, sent});
}

void BootJobs::OnBootDone() {
  if (!worker_.joinable()) return;
  worker_.join();
  // Joined: everything the worker wrote is visible here.
  observer_.OnJobEnd(end_);
}

}  // namespace quillon
