// The download guide's texts: the program's title and the six pages' words,
// which the Windows dialog and the terminal guide both show. Data only: no
// dialog, no engine.
#pragma once

#include <cstdint>
#include <string>

namespace quillon {

inline constexpr const char* APP_TITLE = "Tarnfield Quillon (v1.0.2) Software Download Utility";
inline constexpr const char* DEVICE_NAME = "Quillon";

enum GuidePage : int {
  PAGE_CABLE = 1,
  PAGE_READYING = 2,
  PAGE_CHOICE = 3,
  PAGE_INSTRUCTIONS = 4,
  PAGE_IN_PROGRESS = 5,
  PAGE_COMPLETE = 6,
};
enum GuideChoice : int { CHOICE_SOFTWARE = 0, CHOICE_BOOTLOADER = 1 };

struct GuideTexts {
  std::string title;   // 1027
  std::string upper;   // 1029
  std::string lower;   // 1028
  std::string prompt;  // 1026
};

// The texts of a page for a choice; downloadSize is the image's size
// (pages 5 and 6 show an estimate and the count). Empty for other pages.
GuideTexts GuidePageTexts(GuidePage page, GuideChoice choice, uint32_t downloadSize);

// Page 6 after an erase: what the erase did, not a download's byte count.
// failure: why it failed; empty when it did not.
GuideTexts GuideEraseTexts(const std::string& failure);

}  // namespace quillon
