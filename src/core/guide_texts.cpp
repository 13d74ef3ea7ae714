// The guide's page texts, filled in with the device name and the sizes.
#include "core/guide_texts.h"

#include <cstdio>

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

GuideTexts GuideEraseTexts(const std::string& failure) {
  if (failure.empty()) {
    return {"Erase Complete", Fill("The user storage on the %s's flash has been erased."), "",
            "Press BACK to choose a download or CLOSE to exit."};
  }
  return {"Erase Failed", Fill("The user storage on the %s's flash was not erased.  ") + failure,
          "", "Press BACK to choose a download or CLOSE to exit."};
}

}  // namespace quillon
