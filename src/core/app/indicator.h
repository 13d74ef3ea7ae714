// The connection indicator strip along the top edge of the dialog.
#pragma once

// The dialog layer: the command line and the simulator are built to use
// the engine only, and stop here if they reach for it.
#ifdef QUILLON_ENGINE_ONLY
#error "core/app is the dialog layer; this program uses the engine only"
#endif

namespace quillon {

struct App;

void UpdateConnectionIndicator(App& app);

}  // namespace quillon
