// Erasing the readout's user storage: 07 06 out, the same two bytes back.
// The answer arrives on the receive thread, which hands it to the erase
// through its byte tap while the erase waits, so the packet parser never
// swallows it.
#include "core/boot/flash_erase.h"

#include <algorithm>
#include <cstdint>
#include <functional>
#include <mutex>

#include "core/app.h"
#include "core/app/event_log.h"
#include "core/boot/image_download.h"
#include "core/serial/receive_thread.h"
#include "core/serial/serial_port.h"

namespace quillon {

namespace {

// Writes the two command bytes. A short write goes on with the byte not yet
// sent, so the readout never sees 07 07 06. Failed writes are retried after
// a pause until writeStallMs passes without progress.
bool SendEraseCommand(App& app) {
  DialogHost& host = app.host;
  size_t total = 0;
  uint32_t lastProgress = host.TickCount();
  while (total < sizeof ERASE_COMMAND) {
    if (app.boot.stopRequested.load()) {
      LogLine(app, 0, "Erase stopped before the command was sent.");
      return false;
    }
    auto port = app.link.Port();
    size_t written = 0;
    int error = 0;
    const size_t left = sizeof ERASE_COMMAND - total;
    if (port) {
      written = std::min(port->Write(ERASE_COMMAND + total, left, &error), left);
      if (error != 0 || written == 0) port->ClearError();
    }
    if (written > 0) {
      total += written;
      lastProgress = host.TickCount();
      continue;
    }
    if (host.TickCount() - lastProgress >= app.limits.writeStallMs) {
      LogLine(app, 0, "%s",
              port ? "Erase failed: the port did not accept the erase command."
                   : "Erase failed: the port was closed before the erase command was sent.");
      return false;
    }
    host.Sleep(WRITE_RETRY_PAUSE_MS);
  }
  return true;
}

}  // namespace

void StartFlashErase(App& app) {
  if (!BootWorkerIdle(app)) return;
  if (!RequireOpenPort(app, "Erase not started: no port is open.",
                       "No port is open.  Open the port before erasing the flash.")) {
    return;
  }
  RS232_SetBaudRate(app, ERASE_BAUD);
  app.boot.stopRequested = false;
  // Raised here too, so a second start right after this one is refused.
  app.boot.bootBusy = 1;
  app.boot.worker = std::thread(FlashEraseThread, std::ref(app));
}

int WaitEraseAnswer(App& app) {
  // The tap matches over a sliding window, so a stray byte before the answer
  // (00 07 06) does not hide it, whichever way the bytes are split.
  const std::vector<uint8_t> answer(ERASE_COMMAND, ERASE_COMMAND + sizeof ERASE_COMMAND);
  const uint32_t limit = app.limits.eraseAnswerMs;
  switch (app.receiver.tap.WaitFor(answer, static_cast<int>(std::min<uint32_t>(limit, INT32_MAX)))) {
    case ByteTap::Result::MATCHED:
      return 1;
    case ByteTap::Result::CANCELLED:
      LogLine(app, 0, "Erase stopped while waiting for the readout's answer.");
      return 0;
    case ByteTap::Result::TIMED_OUT:
      break;
  }
  if (limit % 1000 == 0) {
    LogLine(app, 0, "Erase failed: the readout did not answer within %u seconds.", limit / 1000);
  } else {
    LogLine(app, 0, "Erase failed: the readout did not answer within %u ms.", limit);
  }
  return 0;
}

void FlashEraseThread(App& app) {
  ImageDownload& boot = app.boot;
  boot.bootBusy = 1;
  {
    // Opened before the command goes out, so no byte of the answer can slip
    // past to the packet parser.
    std::lock_guard<std::mutex> lock(boot.tapMutex);
    app.receiver.tap.Begin();
    boot.waitingForAnswer = true;
  }
  bool done = false;
  if (SendEraseCommand(app)) {
    LogLine(app, 0, "Erasing user storage on flash ... (~50 sec.)");
    done = WaitEraseAnswer(app) == 1;
  }
  {
    std::lock_guard<std::mutex> lock(boot.tapMutex);
    boot.waitingForAnswer = false;
    app.receiver.tap.End();
  }
  if (done) LogLine(app, 0, "Done erasing user storage.");
  app.host.Sleep(100);
  UiMessage message{UiMessage::BOOT_DONE, nullptr, done, 0};
  app.host.Post(std::move(message));
  boot.bootBusy = 0;
}

}  // namespace quillon
