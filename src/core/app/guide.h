// The six-page download guide: its texts, the page renderer and the
// transitions of Next and Back.
#pragma once

#include <cstdint>
#include <string>

#include "core/app/app.h"

namespace quillon {

struct GuideTexts {
  std::string title;   // 1027
  std::string upper;   // 1029
  std::string lower;   // 1028
  std::string prompt;  // 1026
};

// The texts of a page for a choice; downloadSize is the image's size
// (pages 5 and 6 show an estimate and the count). Empty for other pages.
GuideTexts GuidePageTexts(GuidePage page, GuideChoice choice, uint32_t downloadSize);

void RenderGuidePage(App& app);
void GuideNext(App& app);
void GuideBack(App& app);

}  // namespace quillon
