#include "core/app/indicator.h"

#include "core/app.h"

namespace quillon {

void UpdateConnectionIndicator(App& app) {
  int state = INDICATOR_NO_PORT;
  if (auto port = app.link.Port()) {
    bool cts = false;
    // A status that cannot be read counts as clear-to-send off.
    if (port->GetCts(&cts) && cts) {
      state = app.guide.page > PAGE_READYING ? INDICATOR_READY : INDICATOR_NOT_READY;
    } else {
      state = INDICATOR_NOT_READY;
    }
  }
  app.host.DrawIndicator(state);
  if (state != app.indicatorState) app.host.Invalidate(state == INDICATOR_READY);
  app.indicatorState = state;
}

}  // namespace quillon
