// The connection indicator strip along the top edge of the dialog.
#pragma once

namespace quillon {

struct App;

enum IndicatorState : int { INDICATOR_NO_PORT = 0, INDICATOR_NOT_READY = 1, INDICATOR_READY = 2 };

void UpdateConnectionIndicator(App& app);

}  // namespace quillon
