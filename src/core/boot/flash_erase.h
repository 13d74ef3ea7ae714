// Erasing the readout's user storage with the two-byte exchange 07 06.
#pragma once

namespace quillon {

struct App;

void StartFlashErase(App& app);

}  // namespace quillon
