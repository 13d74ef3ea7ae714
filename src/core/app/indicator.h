// The connection indicator strip along the top edge of the dialog.
#pragma once

namespace quillon {

struct App;

void UpdateConnectionIndicator(App& app);

}  // namespace quillon
