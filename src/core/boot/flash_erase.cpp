// Erasing the readout's user storage: 07 06 out, the same two bytes back.
// The answer arrives on the receive thread, which hands it to the erase
// through its byte tap while the erase waits, so the packet parser never
// swallows it.
#include <algorithm>
#include <vector>

#include "core/boot/image_download.h"
#include "core/host.h"
#include "core/log/event_log.h"
#include "core/serial/receive_thread.h"
#include "core/serial/serial_port.h"

namespace quillon {

StartResult BootJobs::StartErase() {
  if (!Idle()) return StartResult::Refused("a download or an erase is already running");
  if (!link_.IsOpen()) return StartResult::Refused("no port is open");
  // At a rate the readout does not expect the command would be garbage.
  if (SerialResult rate = RS232_SetBaudRate(link_, ERASE_BAUD); !rate)
    return StartResult::Refused(BaudRateFailure(ERASE_BAUD, rate));
  end_ = JobEnd{};
  end_.job = Job::ERASE;
  stopRequested_.store(false);
  // Raised here too, so a second start right after this one is refused.
  bootBusy_.store(true);
  worker_ = std::thread([this] { FlashEraseThread(); });
  return StartResult::Ok();
}

int BootJobs::WaitEraseAnswer() {
  // The tap matches over a sliding window, so a stray byte before the answer
  // (00 07 06) does not hide it, whichever way the bytes are split.
  const std::vector<uint8_t> answer(ERASE_COMMAND, ERASE_COMMAND + sizeof ERASE_COMMAND);
  switch (receiver_.Tap().WaitFor(answer, limits_.eraseAnswerMs)) {
    case ByteTap::Result::MATCHED:
      return 1;
    case ByteTap::Result::CANCELLED:
      if (link_.Lost()) {
        Fail(Cause::PORT_LOST, "the readout's port went away (unplugged?)");
      } else if (!link_.IsOpen()) {
        Fail(Cause::PORT_CLOSED, "the port was closed");
      } else {
        Fail(Cause::STOPPED, "stopped while waiting for the readout's answer");
      }
      return 0;
    case ByteTap::Result::TIMED_OUT:
      break;
  }
  Fail(Cause::NO_ANSWER, "the readout did not answer within " +
                             std::to_string(limits_.eraseAnswerMs / 1000) + " seconds");
  return 0;
}

void BootJobs::FlashEraseThread() {
  bootBusy_.store(true);
  // Opened before the command goes out, so no byte of the answer can slip
  // past to the packet parser.
  receiver_.Tap().Begin();
  bool done = false;
  if (stopRequested_.load()) {
    Fail(Cause::STOPPED, "stopped");
  } else if (WriteAll(ERASE_COMMAND, sizeof ERASE_COMMAND, false)) {
    log_.Add("Erasing user storage on flash ... (~50 sec.)");
    done = WaitEraseAnswer() == 1;
  }
  receiver_.Tap().End();
  if (done) {
    log_.Add("Done erasing user storage.");
  } else {
    LogLine(log_, 0, "Erase failed: %s.", end_.reason.c_str());
  }
  host_.Sleep(100);
  host_.Post(UiMessage{UiMessage::BOOT_DONE, nullptr, done});
  bootBusy_.store(false);
}

}  // namespace quillon
