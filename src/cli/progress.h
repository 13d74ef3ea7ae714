// How the CLI shows the progress of a download or transfer: a bar redrawn in
// place on a terminal, one plain line per tenth otherwise.
#pragma once

#include <cstdint>
#include <string>

namespace quillon::cli {

// "1.2 MB", "512 B": sizes in the units people read.
std::string HumanBytes(double bytes);
// "1:05", "12:00:03".
std::string HumanDuration(double seconds);

// One line of the terminal bar: "[=====>    ]  45%  2.1 MB/4.8 MB  11.3 kB/s  3:58 left".
// unit is "bytes" (sizes shown with HumanBytes) or a word such as "lines".
// elapsedSeconds is the time since the operation began; rate and time left
// are left out until there is something to measure.
std::string FormatProgressBar(uint64_t done, uint64_t total, const std::string& unit,
                              double elapsedSeconds, int width = 30);

// The plain form: "progress: 40% (1906 of 4759 bytes)".
std::string FormatProgressLine(uint64_t done, uint64_t total, const std::string& unit);

// Decides when the plain form prints: once at each tenth reached, never twice
// for the same tenth, and 100 % only when the whole was reached.
class TenthTracker {
 public:
  // Returns the tenth (1 to 10) newly reached, or 0 when no line is due.
  int Update(uint64_t done, uint64_t total);
  void Reset() { lastTenth_ = 0; }

 private:
  int lastTenth_ = 0;
};

}  // namespace quillon::cli
