// The guide: page texts, rendering and the Next/Back transitions.
#include "core/app/guide.h"

#include <cstdio>

#include "core/app/control_ids.h"
#include "core/app/downloads.h"
#include "core/app/port_selection.h"

namespace quillon {

namespace {

// Fills every %s of a page text with the device name. The texts are
// constants of this file, so the format is never taken from outside.
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

GuideTexts Filled(const PageTexts& t) {
  return GuideTexts{Fill(t.title), Fill(t.upper), Fill(t.lower), Fill(t.prompt)};
}

void SetTexts(App& app, const GuideTexts& texts) {
  app.host.SetControlText(IDC_STEP_TITLE, texts.title);
  app.host.SetControlText(IDC_UPPER_TEXT, texts.upper);
  app.host.SetControlText(IDC_LOWER_TEXT, texts.lower);
  app.host.SetControlText(IDC_PROMPT, texts.prompt);
}

void Button(App& app, int id, const char* caption, bool enabled) {
  if (caption) app.host.SetControlText(id, caption);
  app.host.EnableControl(id, enabled);
}

enum Slot { UPPER_SLOT = 1, LOWER_SLOT = 2 };

}  // namespace

GuideTexts GuidePageTexts(GuidePage page, GuideChoice choice, uint32_t downloadSize) {
  const bool bootloader = choice == CHOICE_BOOTLOADER;
  // 11 bit times a byte at 115200 baud, the line the guide opens.
  const double size = static_cast<double>(downloadSize);
  switch (page) {
    case PAGE_CABLE:
      return Filled(PAGE1);
    case PAGE_READYING:
      return Filled(PAGE2);
    case PAGE_CHOICE:
      return Filled(PAGE3);
    case PAGE_INSTRUCTIONS:
      return Filled(bootloader ? PAGE4_BOOTLOADER : PAGE4_SOFTWARE);
    case PAGE_IN_PROGRESS:
      if (bootloader) {
        return {"Download in Progress",
                Format("The %s bootloader is being transferred.  This operation takes about "
                       "%0.0lf seconds to complete.",
                       DEVICE_NAME, size * 11.0 / 115200.0),
                "", "Downloading bootloader, please wait . . . "};
      }
      return {"Download in Progress",
              Format("The %s software is being transferred.  This operation takes about "
                     "%0.1lf minutes to complete.",
                     DEVICE_NAME, size * 11.0 / 6912000.0),
              "", "Downloading software, please wait . . . "};
    case PAGE_COMPLETE:
      return {"Download Complete",
              Format("Please verify that the number of data bytes transmitted (%ld) matches the "
                     "number of bytes received by the %s.  The %s shows the number in "
                     "parenthesis at the bottom of the display.",
                     static_cast<long>(downloadSize), DEVICE_NAME, DEVICE_NAME),
              bootloader ? "The bootloader download will take effect on the next power cycle." : "",
              bootloader ? "Press BACK if you want to load the software."
                         : "Press CLOSE to exit this program."};
  }
  return {};
}

namespace {

// Page 6 after an erase: what the erase did, not a download's byte count.
GuideTexts EraseEndTexts(const std::string& failure) {
  if (failure.empty()) {
    return {"Erase Complete", Fill("The user storage on the %s's flash has been erased."), "",
            "Press BACK to choose a download or CLOSE to exit."};
  }
  return {"Erase Failed", Fill("The user storage on the %s's flash was not erased.  ") + failure,
          "", "Press BACK to choose a download or CLOSE to exit."};
}

GuideTexts ShownTexts(const App& app) {
  if (app.guide.page == PAGE_COMPLETE && app.bootJob == Job::ERASE) {
    return EraseEndTexts(app.bootFailure);
  }
  GuideTexts texts = GuidePageTexts(app.guide.page, app.guide.choice, app.downloadSize);
  // A build without the real firmware says so from its first page on.
  if (app.guide.page == PAGE_CABLE && app.isPlaceholder &&
      (app.isPlaceholder(IMAGE_BOOTLOADER) || app.isPlaceholder(IMAGE_SOFTWARE))) {
    texts.upper += "\n\n(placeholder images)";
  }
  return texts;
}

}  // namespace

void RenderGuidePage(App& app) {
  const GuidePage page = app.guide.page;
  const bool bootloader = app.guide.choice == CHOICE_BOOTLOADER;
  if (page < PAGE_CABLE || page > PAGE_COMPLETE) return;
  SetTexts(app, ShownTexts(app));
  // Every page paints both slots, so no picture of an earlier page stays
  // where this one has none (page 6 is painted without erasing).
  switch (page) {
    case PAGE_CABLE:
      Button(app, IDC_BACK, "Back", false);
      Button(app, IDC_NEXT, "Next", true);
      app.host.DrawPicture(UPPER_SLOT, 120);
      app.host.DrawPicture(LOWER_SLOT, 122);
      break;
    case PAGE_READYING:
      Button(app, IDC_BACK, "Back", true);
      Button(app, IDC_NEXT, "Next", true);
      app.host.DrawPicture(UPPER_SLOT, 123);
      app.host.DrawPicture(LOWER_SLOT, 121);
      break;
    case PAGE_CHOICE:
      Button(app, IDC_BACK, "Bootloader", true);
      app.host.ShowControl(IDC_BACK, true);
      Button(app, IDC_NEXT, "Software", true);
      app.host.ShowControl(IDC_NEXT, true);
      app.host.DrawPicture(UPPER_SLOT, 124);
      app.host.DrawPicture(LOWER_SLOT, NO_PICTURE);
      break;
    case PAGE_INSTRUCTIONS:
      Button(app, IDC_BACK, "Back", true);
      Button(app, IDC_NEXT, "Next", true);
      app.host.DrawPicture(UPPER_SLOT, bootloader ? 143 : 139);
      app.host.DrawPicture(LOWER_SLOT, 138);
      break;
    case PAGE_IN_PROGRESS:
      app.host.ShowControl(IDC_BACK, false);
      app.host.ShowControl(IDC_NEXT, false);
      app.host.DrawPicture(UPPER_SLOT, 140);
      app.host.DrawPicture(LOWER_SLOT, NO_PICTURE);
      break;
    case PAGE_COMPLETE:
      Button(app, IDC_BACK, "Back", true);
      app.host.ShowControl(IDC_BACK, true);
      app.host.EnableControl(IDC_NEXT, false);
      app.host.ShowControl(IDC_NEXT, false);
      app.host.DrawPicture(UPPER_SLOT, 142);
      app.host.DrawPicture(LOWER_SLOT, NO_PICTURE);
      break;
  }
}

namespace {

void GoTo(App& app, GuidePage page) {
  app.guide.page = page;
  app.host.Invalidate(true);
}

// Opens the port with the selected number unless one is open already.
bool EnsurePortOpen(App& app) {
  if (!app.engine.IsOpen()) OpenDevice(app, app.portSelection.number);
  return app.engine.IsOpen();
}

}  // namespace

void GuideNext(App& app) {
  if (!app.host.IsControlEnabled(IDC_NEXT)) return;
  switch (app.guide.page) {
    case PAGE_CABLE:
      GoTo(app, PAGE_READYING);
      break;
    case PAGE_READYING:
      if (app.portSelection.mode == PORT_MODE_ASK) app.host.RunPortNumberDialog(app.portSelection.number);
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
    case PAGE_INSTRUCTIONS: {
      // After the port went away the guide is back here with it closed:
      // Next opens the port chosen on page 3 again, as page 3's buttons do.
      // One that cannot be opened has been reported; the guide stays.
      if (!EnsurePortOpen(app)) break;
      // A start refused with nothing running (its error box has told the
      // user why) would leave page 5 waiting for a completion that never
      // comes, with both buttons hidden; stay here instead. A start refused
      // because a run is under way does get that run's completion.
      const bool idle = app.engine.BootIdle();
      if (StartImageDownload(app, 115200) == 0 && idle) break;
      GoTo(app, PAGE_IN_PROGRESS);
      break;
    }
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
