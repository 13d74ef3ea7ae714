// The six-page download guide: transitions and the page renderer.
#pragma once

#include <string>

namespace quillon {

struct App;

void RenderGuidePage(App& app);
void GuideNext(App& app);
void GuideBack(App& app);

}  // namespace quillon
