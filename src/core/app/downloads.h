// The dialog's bootloader jobs: looking the embedded image up and starting
// its download, the flash erase, and what the user sees at their end.
#pragma once

// The dialog layer: the command line and the simulator are built to use
// the engine only, and stop here if they reach for it.
#ifdef QUILLON_ENGINE_ONLY
#error "core/app is the dialog layer; this program uses the engine only"
#endif

#include <cstdint>
#include <string>

#include "core/engine/image_source.h"

namespace quillon {

struct App;
struct JobEnd;

// Both return 1 when the worker was started, 0 when refused.
int StartImageDownload(App& app, uint32_t baudRate);
int StartBootloaderDownload(App& app);
void StartFlashErase(App& app);
// The end of a download or an erase: the strip goes, a beep, and the guide's
// last page, or a box saying why the job did not complete.
void OnBootEnd(App& app, const JobEnd& end);

// The text of the start's error box for a failed image lookup step.
std::string ImageErrorText(ImageLookup step, bool bootloader);
// A reason as a sentence of its own: capitalised, with a full stop.
std::string Sentence(const std::string& reason);

}  // namespace quillon
