// The six-page download guide in the dialog: the page renderer and the
// transitions of Next and Back (the texts: core/guide_texts.h).
#pragma once

// The dialog layer: the command line and the simulator are built to use
// the engine only, and stop here if they reach for it.
#ifdef QUILLON_ENGINE_ONLY
#error "core/app is the dialog layer; this program uses the engine only"
#endif

#include "core/app/app.h"

namespace quillon {

void RenderGuidePage(App& app);
void GuideNext(App& app);
void GuideBack(App& app);

}  // namespace quillon
