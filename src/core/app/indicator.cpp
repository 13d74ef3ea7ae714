// The connection indicator: black without a port, red until the readout
// asserts clear-to-send on page 3 or later, then green.
#include "core/app/indicator.h"

#include "core/app/app.h"

namespace quillon {

void UpdateConnectionIndicator(App& app) {
  IndicatorState state = INDICATOR_NO_PORT;
  if (app.engine.IsOpen()) {
    bool cts = false;
    // A status that cannot be read counts as clear-to-send off.
    if (app.engine.GetCts(&cts) && cts && app.guide.page > PAGE_READYING) {
      state = INDICATOR_READY;
    } else {
      state = INDICATOR_NOT_READY;
    }
  }
  app.host.DrawIndicator(state);
  if (state != app.indicatorState) app.host.Invalidate(state == INDICATOR_READY);
  app.indicatorState = state;
}

}  // namespace quillon
