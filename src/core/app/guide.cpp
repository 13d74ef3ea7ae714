#include "core/app/guide.h"

#include <cstdio>
#include <string>

#include "core/app.h"
#include "core/boot/image_download.h"
#include "core/serial/serial_port.h"

namespace quillon {

namespace {

// Fills every %s of a page text with the device name, and the page's one
// number where it has one. The texts are constants of this file, so the
// format is never taken from outside.
std::string Fill(const char* format) {
  std::string out;
  for (const char* p = format; *p; ++p) {
    if (p[0] == '%' && p[1] == 's') {
      out += DEVICE_NAME;
      ++p;
    } else {
      out += *p;
    }
  }
  return out;
}

template <typename... Args>
std::string Format(const char* format, Args... args) {
  char buffer[512];
  std::snprintf(buffer, sizeof buffer, format, args...);
  return buffer;
}

struct PageTexts {
  const char* title;
  const char* upper;
  const char* lower;
  const char* prompt;
};

constexpr PageTexts PAGE1 = {
    "STEP 1 - Connecting the USB Cable", "Turn the %s power switch to the OFF position.",
    "Connect a USB cable between your PC and the %s.  Refer to the %s user's manual for more "
    "information on the cable requirements.",
    "When the cable is connected, press NEXT"};
constexpr PageTexts PAGE2 = {
    "STEP 2 - Readying the %s", "Press and hold the \"C\" key on the %s keypad.",
    "While holding the \"C\" key, turn the %s power switch to the ON position.  Wait 2 seconds "
    "and release the \"C\" key.",
    "When the %s's Bootloader menu appears, press NEXT."};
constexpr PageTexts PAGE3 = {
    "STEP 3 - Selecting the Download",
    "Refer to the menu on the %s display.  Check the version of the bootloader.  If it is not "
    "v1.0.0 or greater then you need to download the bootloader before downloading the software.",
    "If the bootloader is up-to-date, proceed with the application software download.",
    "Select \"Bootloader\" or \"Software\"."};
constexpr PageTexts PAGE4_BOOTLOADER = {
    "STEP 4 - Downloading the Bootloader",
    "On the %s, select bootloader download by pressing the \"2\" key on the numeric keypad.  "
    "Confirm your selection by pressing ENTER.",
    "The message \"Downloading bootloader ...\" will appear at the bottom of the %s's screen when "
    "it is ready.",
    "When %s is ready, press NEXT."};
constexpr PageTexts PAGE4_SOFTWARE = {
    "STEP 4 - Downloading the Software",
    "On the %s, select application software download by pressing the \"1\" key on the numeric "
    "keypad.  Confirm your selection by pressing ENTER.",
    "The message \"Downloading application ...\" will appear at the bottom of the %s's screen "
    "when it is ready.",
    "When %s is ready, press NEXT."};

void SetTexts(App& app, const std::string& title, const std::string& upper,
              const std::string& lower, const std::string& prompt) {
  app.host.SetControlText(IDC_STEP_TITLE, title);
  app.host.SetControlText(IDC_UPPER_TEXT, upper);
  app.host.SetControlText(IDC_LOWER_TEXT, lower);
  app.host.SetControlText(IDC_PROMPT, prompt);
}

void SetTexts(App& app, const PageTexts& texts) {
  SetTexts(app, Fill(texts.title), Fill(texts.upper), Fill(texts.lower), Fill(texts.prompt));
}

void Button(App& app, int id, const char* caption, bool enabled) {
  if (caption) app.host.SetControlText(id, caption);
  app.host.EnableControl(id, enabled);
}

enum Slot { UPPER_SLOT = 1, LOWER_SLOT = 2 };

}  // namespace

void RenderGuidePage(App& app) {
  const bool bootloader = app.guide.choice == CHOICE_BOOTLOADER;
  switch (app.guide.page) {
    case PAGE_CABLE:
      SetTexts(app, PAGE1);
      Button(app, IDC_BACK, "Back", false);
      Button(app, IDC_NEXT, "Next", true);
      app.host.DrawPicture(UPPER_SLOT, 120);
      app.host.DrawPicture(LOWER_SLOT, 122);
      break;
    case PAGE_READYING:
      SetTexts(app, PAGE2);
      Button(app, IDC_BACK, "Back", true);
      Button(app, IDC_NEXT, "Next", true);
      app.host.DrawPicture(UPPER_SLOT, 123);
      app.host.DrawPicture(LOWER_SLOT, 121);
      break;
    case PAGE_CHOICE:
      SetTexts(app, PAGE3);
      Button(app, IDC_BACK, "Bootloader", true);
      app.host.ShowControl(IDC_BACK, true);
      Button(app, IDC_NEXT, "Software", true);
      app.host.ShowControl(IDC_NEXT, true);
      app.host.DrawPicture(UPPER_SLOT, 124);
      break;
    case PAGE_INSTRUCTIONS:
      SetTexts(app, bootloader ? PAGE4_BOOTLOADER : PAGE4_SOFTWARE);
      Button(app, IDC_BACK, "Back", true);
      Button(app, IDC_NEXT, "Next", true);
      app.host.DrawPicture(UPPER_SLOT, bootloader ? 143 : 139);
      app.host.DrawPicture(LOWER_SLOT, 138);
      break;
    case PAGE_IN_PROGRESS: {
      // 11 bit times a byte at 115200 baud, the line the guide opens.
      const double size = static_cast<double>(app.boot.downloadSize.load());
      if (bootloader) {
        SetTexts(app, "Download in Progress",
                 Format("The %s bootloader is being transferred.  This operation takes about "
                        "%0.0lf seconds to complete.",
                        DEVICE_NAME, size * 11.0 / 115200.0),
                 "", "Downloading bootloader, please wait . . . ");
      } else {
        SetTexts(app, "Download in Progress",
                 Format("The %s software is being transferred.  This operation takes about "
                        "%0.1lf minutes to complete.",
                        DEVICE_NAME, size * 11.0 / 6912000.0),
                 "", "Downloading software, please wait . . . ");
      }
      app.host.ShowControl(IDC_BACK, false);
      app.host.ShowControl(IDC_NEXT, false);
      app.host.DrawPicture(UPPER_SLOT, 140);
      break;
    }
    case PAGE_COMPLETE: {
      const long count = static_cast<long>(app.boot.downloadSize.load());
      SetTexts(app, "Download Complete",
               Format("Please verify that the number of data bytes transmitted (%ld) matches the "
                      "number of bytes received by the %s.  The %s shows the number in "
                      "parenthesis at the bottom of the display.",
                      count, DEVICE_NAME, DEVICE_NAME),
               bootloader ? "The bootloader download will take effect on the next power cycle."
                          : "",
               bootloader ? "Press BACK if you want to load the software."
                          : "Press CLOSE to exit this program.");
      Button(app, IDC_BACK, "Back", true);
      app.host.ShowControl(IDC_BACK, true);
      app.host.EnableControl(IDC_NEXT, false);
      app.host.ShowControl(IDC_NEXT, false);
      app.host.DrawPicture(UPPER_SLOT, 142);
      break;
    }
    default:
      break;
  }
}

namespace {

void GoTo(App& app, int page) {
  app.guide.page = page;
  app.host.Invalidate(true);
}

// Opens the port with the selected number unless one is open already.
bool EnsurePortOpen(App& app) {
  if (!app.link.IsOpen()) OpenDevice(app, app.portSelection.number);
  return app.link.IsOpen();
}

}  // namespace

void GuideNext(App& app) {
  if (!app.host.IsControlEnabled(IDC_NEXT)) return;
  switch (app.guide.page) {
    case PAGE_CABLE:
      GoTo(app, PAGE_READYING);
      break;
    case PAGE_READYING:
      if (app.portSelection.mode == PORT_MODE_ASK) {
        app.host.RunPortNumberDialog(app.portSelection.number);
      }
      GoTo(app, PAGE_CHOICE);
      break;
    case PAGE_CHOICE:
      if (!EnsurePortOpen(app)) {
        GoTo(app, PAGE_CABLE);
        break;
      }
      app.guide.choice = CHOICE_SOFTWARE;
      GoTo(app, PAGE_INSTRUCTIONS);
      break;
    case PAGE_INSTRUCTIONS:
      StartImageDownload(app, 115200);
      GoTo(app, PAGE_IN_PROGRESS);
      break;
    default:
      break;
  }
}

void GuideBack(App& app) {
  if (!app.host.IsControlEnabled(IDC_BACK)) return;
  switch (app.guide.page) {
    case PAGE_READYING:
      GoTo(app, PAGE_CABLE);
      break;
    case PAGE_CHOICE:
      if (!EnsurePortOpen(app)) break;  // stays on page 3
      app.guide.choice = CHOICE_BOOTLOADER;
      GoTo(app, PAGE_INSTRUCTIONS);
      break;
    case PAGE_INSTRUCTIONS:
      GoTo(app, PAGE_CHOICE);
      break;
    case PAGE_COMPLETE:
      CloseDevice(app);
      GoTo(app, PAGE_CHOICE);
      break;
    default:
      break;
  }
}

}  // namespace quillon
