// Erasing the readout's user storage with the two-byte exchange 07 06.
#pragma once

#include <cstdint>

namespace quillon {

struct App;

constexpr uint8_t ERASE_COMMAND[2] = {0x07, 0x06};
// The line's rate for the erase; it is left in force afterwards.
constexpr uint32_t ERASE_BAUD = 115200;

void StartFlashErase(App& app);
void FlashEraseThread(App& app);
// Waits for the readout's 07 06 on the receive thread's byte tap, which the
// erase has opened before sending. Returns 1 when the answer came, 0 when it
// did not come in time or the wait was stopped (the reason is logged).
int WaitEraseAnswer(App& app);

}  // namespace quillon
