// Streaming a firmware image raw to the readout's bootloader. The image is
// sent exactly as stored, in blocks of up to 16 KiB, straight from the
// source's memory.
#include "core/boot/image_download.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <functional>

#include "core/app.h"
#include "core/app/event_log.h"
#include "core/serial/serial_port.h"

namespace quillon {

namespace {

int StartDownload(App& app, const char* name, bool bootloaderTexts, uint32_t baudRate,
                  DownloadKind kind) {
  ImageDownload& boot = app.boot;
  if (!BootWorkerIdle(app)) return 0;

  const uint8_t* data = nullptr;
  size_t size = 0;
  int step = app.images ? app.images->Lookup(name, &data, &size) : 1;
  if (step == 0 && size > UINT32_MAX) step = 3;  // only a user's file could be this big
  if (step == 0 && size == 0) step = 2;
  if (step == 0 && data == nullptr) step = 4;
  if (step == 0 || step >= 3) {
    // The guide shows this size even when loading fails afterwards.
    boot.remaining = static_cast<uint32_t>(size);
    boot.downloadSize = static_cast<uint32_t>(size);
  }
  if (step != 0) {
    app.host.ShowMessageBox(ImageErrorText(step, bootloaderTexts), APP_TITLE, MB_STYLE_ICONERROR,
                        false);
    return 0;
  }

  // Without a port every write would fail; say so now rather than start a
  // run that can only fail.
  if (!RequireOpenPort(app, "Download not started: no port is open.",
                       "No port is open.  Open the port before downloading.")) {
    return 0;
  }

  boot.imageCursor = data;
  boot.imageSize = static_cast<int64_t>(size);
  app.host.CreateProgressStrip(static_cast<uint32_t>((boot.imageSize / 1000) & 0xFFFF), false);
  RS232_SetBaudRate(app, baudRate);
  boot.downloadKind = kind;
  boot.stopRequested = false;
  // Raised here as well as in the worker, so a second start right after
  // this one is refused even before the worker has run.
  boot.bootBusy = 1;
  boot.worker = std::thread(ImageDownloadThread, std::ref(app));
  return 1;
}

}  // namespace

std::string ImageErrorText(int step, bool bootloader) {
  char text[128];
  std::snprintf(text, sizeof text, "Internal Error %03d.  Unable to extract %ssoftware for loading to unit.",
                bootloader ? 100 + step : step, bootloader ? "bootloader " : "");
  return text;
}

bool BootWorkerIdle(App& app) {
  return app.boot.bootBusy.load() == 0 && !app.boot.worker.joinable();
}

bool RequireOpenPort(App& app, const char* logText, const char* boxText) {
  if (app.link.IsOpen()) return true;
  AddLogText(app, logText);
  app.host.ShowMessageBox(boxText, APP_TITLE, MB_STYLE_ICONWARNING, true);
  return false;
}

int StartImageDownload(App& app, uint32_t baudRate) {
  const char* name = app.guide.choice == CHOICE_BOOTLOADER ? IMAGE_BOOTLOADER : IMAGE_SOFTWARE;
  return StartDownload(app, name, false, baudRate, DOWNLOAD_SOFTWARE);
}

int StartBootloaderDownload(App& app) {
  return StartDownload(app, IMAGE_BOOTLOADER, true, 115200, DOWNLOAD_BOOTLOADER);
}

void JoinBootWorker(App& app) {
  ImageDownload& boot = app.boot;
  if (!boot.worker.joinable()) return;
  // On the completion message the worker has finished its job and this only
  // lets it return; at shutdown it makes a worker still at work give up.
  boot.stopRequested = true;
  {
    std::lock_guard<std::mutex> lock(boot.tapMutex);
    if (boot.waitingForAnswer) app.receiver.tap.Cancel();
  }
  boot.worker.join();
}

void ImageDownloadThread(App& app) {
  ImageDownload& boot = app.boot;
  DialogHost& host = app.host;
  boot.bootBusy = 1;
  boot.sentCount = 0;
  const int64_t total = boot.imageSize;
  LogLine(app, 0, "%s", boot.downloadKind == DOWNLOAD_BOOTLOADER
                      ? "Loading new bootloader ... "
                      : "Loading new software version ... (~4 min.)");

  size_t block = std::min<size_t>(IMAGE_BLOCK_SIZE, boot.remaining);
  uint32_t lastProgress = host.TickCount();
  bool portGone = false;
  bool stopped = false;
  while (block > 0) {
    if (boot.stopRequested.load()) {
      stopped = true;
      break;
    }
    // Read anew each time: the UI thread may close the port at any moment.
    auto port = app.link.Port();
    size_t written = 0;
    int error = 0;
    if (port) {
      written = std::min(port->Write(boot.imageCursor, block, &error), block);
      if (error != 0 || written == 0) port->ClearError();
    }
    if (written == 0) {
      // The same data is offered again, but not for ever: a closed port or a
      // pulled cable must not leave the worker spinning with bootBusy raised.
      portGone = !port;
      if (host.TickCount() - lastProgress >= app.limits.writeStallMs) break;
      host.Sleep(WRITE_RETRY_PAUSE_MS);
      continue;
    }
    lastProgress = host.TickCount();
    boot.imageCursor += written;
    boot.remaining -= static_cast<uint32_t>(written);
    const int64_t sent = boot.sentCount.fetch_add(static_cast<int64_t>(written)) +
                         static_cast<int64_t>(written);
    block = std::min<size_t>(block, boot.remaining);
    if (sent <= total) host.SetProgressPosition(static_cast<uint32_t>(sent / 1000));
  }

  const bool success = block == 0;
  boot.bootBusy = 0;
  const long long sent = boot.sentCount.load();
  if (success) {
    LogLine(app, 0, "Done loading.");
  } else if (stopped) {
    LogLine(app, 0, "Download stopped after %lld of %lld bytes.", sent, static_cast<long long>(total));
  } else if (portGone) {
    LogLine(app, 0, "Download failed: the port was closed after %lld of %lld bytes.", sent,
            static_cast<long long>(total));
  } else {
    LogLine(app, 0, "Download failed: the port stopped accepting data after %lld of %lld bytes.",
            sent, static_cast<long long>(total));
  }
  host.Sleep(100);
  // Set whatever the outcome, so the line's rate after a run never depends on
  // how the run went; a new start sets its own rate anyway.
  RS232_SetBaudRate(app, BAUD_AFTER_DOWNLOAD);
  UiMessage done{UiMessage::BOOT_DONE, nullptr, success, 0};
  host.Post(std::move(done));
}

}  // namespace quillon
