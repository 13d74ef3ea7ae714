// Runs one command line: the checks made before anything is sent, the
// choice of ports, one job per port at once, and the exit code.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "cli/options.h"

namespace quillon {
class ImageSource;
}

namespace quillon::cli {

// images: the images the program carries (may be null).
int Run(const Options& options, ImageSource* images, std::atomic<bool>& interrupted);

// Called at Ctrl-C (from the interrupt thread): every run gives up at once.
void InterruptAllRuns();

// The whole of a file's bytes; false when it cannot be read.
bool ReadWholeFile(const std::string& path, std::vector<uint8_t>& bytes);

// The terminal's six-step download guide.
int RunGuide(const Options& options, ImageSource* images, std::atomic<bool>& interrupted);

}  // namespace quillon::cli
