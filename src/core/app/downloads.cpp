// The image download and the flash erase as the dialog starts and ends them.
#include "core/app/downloads.h"

#include <cctype>
#include <cstdio>

#include "core/app/app.h"
#include "core/app/control_ids.h"
#include "core/log/event_log.h"

namespace quillon {

namespace {

// Refuses a start when no port is open, telling the user why.
bool RequireOpenPort(App& app, const char* logText, const char* boxText) {
  if (app.engine.IsOpen()) return true;
  app.engine.Log().Add(logText);
  app.host.ShowMessageBox(boxText, APP_TITLE, MB_STYLE_ICONWARNING, true);
  return false;
}

// The engine refused the start (a job of its own running, or the port would
// not take the rate): the user hears why instead of a button doing nothing.
void SayNotStarted(App& app, const char* logHead, const StartResult& started) {
  app.engine.Log().Add(logHead + started.reason + ".");
  app.host.ShowMessageBox(Sentence(started.reason), APP_TITLE, MB_STYLE_ICONWARNING, true);
}

// A placeholder written as the readout's firmware leaves it without working
// software, and passes the byte-count check because it has the real size:
// it goes out only when the user says so, No being the default.
bool SendPlaceholderAnyway(App& app, const char* name) {
  if (!app.isPlaceholder || !app.isPlaceholder(name)) return true;
  const std::string text = std::string("This program carries a placeholder ") +
                           (std::string(name) == IMAGE_BOOTLOADER ? "bootloader" : "software") +
                           " image, not the readout's firmware.  Written to a readout it leaves "
                           "the readout without working software.  Send it anyway?";
  const unsigned style = MB_STYLE_ICONWARNING | MB_STYLE_YESNO | MB_STYLE_DEFBUTTON2;
  return app.host.ShowMessageBox(text, APP_TITLE, style, true) == ANSWER_YES;
}

int StartDownload(App& app, const char* name, bool bootloaderTexts, uint32_t baudRate,
                  DownloadRun run) {
  if (!app.engine.BootIdle()) return 0;
  const uint8_t* data = nullptr;
  size_t size = 0;
  ImageLookup step = app.images ? app.images->Lookup(name, &data, &size) : ImageLookup::NOT_FOUND;
  if (step == ImageLookup::FOUND && size > UINT32_MAX)
    step = ImageLookup::CANNOT_LOAD;  // only a user's file could be this big
  if (step == ImageLookup::FOUND && size == 0) step = ImageLookup::EMPTY;
  if (step == ImageLookup::FOUND && data == nullptr) step = ImageLookup::CANNOT_LOCK;
  // The guide shows this size even when loading fails afterwards.
  if (step == ImageLookup::FOUND || step >= ImageLookup::CANNOT_LOAD)
    app.downloadSize = static_cast<uint32_t>(size);
  if (step != ImageLookup::FOUND) {
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
  if (!SendPlaceholderAnyway(app, name)) return 0;
  if (StartResult started = app.engine.StartDownload(data, size, baudRate, run); !started) {
    SayNotStarted(app, "Download not started: ", started);
    return 0;
  }
  app.bootJob = Job::DOWNLOAD;
  return 1;
}

}  // namespace

std::string ImageErrorText(ImageLookup step, bool bootloader) {
  // The error's number is the failing step's (1 to 4), plus 100 for the bootloader.
  const int number = static_cast<int>(step);
  char text[128];
  std::snprintf(text, sizeof text,
                "Internal Error %03d.  Unable to extract %ssoftware for loading to unit.",
                bootloader ? 100 + number : number, bootloader ? "bootloader " : "");
  return text;
}

std::string Sentence(const std::string& reason) {
  if (reason.empty()) return reason;
  std::string text = reason;
  text[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(text[0])));
  if (text.back() != '.') text += '.';
  return text;
}

int StartImageDownload(App& app, uint32_t baudRate) {
  const char* name = app.guide.choice == CHOICE_BOOTLOADER ? IMAGE_BOOTLOADER : IMAGE_SOFTWARE;
  return StartDownload(app, name, false, baudRate, DownloadRun::GUIDED_IMAGE);
}

int StartBootloaderDownload(App& app) {
  return StartDownload(app, IMAGE_BOOTLOADER, true, 115200, DownloadRun::BOOTLOADER_UPDATE);
}

void StartFlashErase(App& app) {
  if (!app.engine.BootIdle()) return;
  if (!RequireOpenPort(app, "Erase not started: no port is open.",
                       "No port is open.  Open the port before erasing the flash.")) {
    return;
  }
  if (StartResult started = app.engine.StartErase(); started) {
    app.bootJob = Job::ERASE;
  } else {
    SayNotStarted(app, "Erase not started: ", started);
  }
}

void OnBootEnd(App& app, const JobEnd& end) {
  app.host.DestroyProgressStrip();
  app.host.Beep();
  app.bootJob = end.job;
  app.bootFailure = end.outcome == Outcome::DONE ? std::string() : Sentence(end.reason);
  // A failed erase still ends on page 6, which then says why.
  if (end.outcome != Outcome::DONE && end.job == Job::ERASE) {
    app.host.ShowMessageBox("The flash erase did not complete.  " + app.bootFailure, APP_TITLE,
                            MB_STYLE_ICONWARNING, true);
  } else if (end.outcome != Outcome::DONE) {
    // The guide stays where it is so the user can go back and try again,
    // rather than being told the job completed.
    app.host.ShowMessageBox("The download did not complete.  " + app.bootFailure +
                                "  Check the cable and the readout, then try again.",
                            APP_TITLE, MB_STYLE_ICONWARNING, true);
    if (app.guide.page == PAGE_IN_PROGRESS) {
      app.guide.page = PAGE_INSTRUCTIONS;
      // Page 5 hid both buttons and page 4 leaves their shown state alone.
      app.host.ShowControl(IDC_NEXT, true);
      app.host.ShowControl(IDC_BACK, true);
      app.host.Invalidate(true);
    }
    return;
  }
  app.guide.page = PAGE_COMPLETE;
  app.host.Invalidate(false);
}

}  // namespace quillon
