// Short names for the ports of a run, for progress rows, the summary table
// and the log: ttyUSB3 rather than a whole /dev/serial/by-id/... path.
#pragma once

#include <string>
#include <vector>

#include "cli/reporter.h"

namespace quillon::cli {

// One label per port, unique among them: the device's own name where that
// tells them apart, otherwise the part of the names where they differ
// ("1.2:1.0" of two by-path names, the serial number of two by-id names).
std::vector<std::string> ShortLabels(const std::vector<std::string>& ports);

// The summary table's lines: a row per port under a header. With width > 0
// the reason column wraps so that no line is wider.
std::vector<std::string> SummaryLines(const std::vector<RunSummary>& runs,
                                      const std::vector<std::string>& labels, int width);

}  // namespace quillon::cli
