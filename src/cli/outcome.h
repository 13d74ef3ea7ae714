// Exit codes of the CLI and how the core's result texts map onto them.
#pragma once

#include <string>

namespace quillon::cli {

enum ExitCode : int {
  EXIT_DONE = 0,
  EXIT_FAILED = 1,       // the readout reported an error, checksums differ, retries, time-out
  EXIT_USAGE = 2,        // usage error or a local file problem
  EXIT_PORT = 3,         // port not found or cannot be opened
  EXIT_INTERRUPTED = 130,
};

enum class ResultKind { SUCCESS, FAILURE };

// Judges the text of a result message box that ended a transfer. Only the
// texts the transfers show on success count as success; anything else (the
// failure texts, the retry give-ups, a checksum failure, an error box) is a
// failure.
ResultKind ClassifyResultText(const std::string& text);

// Why a port could not be opened, from the system error code the core
// reported, with a hint where one helps. Empty when the code says nothing.
std::string DescribeOpenError(int code);

// Local file checks made before a job starts, so a typo in a path never
// reaches the readout. Each returns an empty text when the file is usable,
// otherwise the reason.
std::string CheckReadableFile(const std::string& path);
// The file may exist (it will be emptied) or not (its directory must be writable).
std::string CheckWritableFile(const std::string& path);

}  // namespace quillon::cli
