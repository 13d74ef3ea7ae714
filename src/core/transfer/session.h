// The transfer session shared by the four maintenance transfers of one port:
// what kind of file is being moved, since when, and which job it is.
#pragma once

#include <cstdint>

#include "core/jobs.h"

namespace quillon {

// Sent to the readout as a decimal number in the file headers and requests.
enum FileKind : int {
  FILE_KIND_BINARY = 9,
  FILE_KIND_BITMAP = 24,
  FILE_KIND_SETTINGS = 25,
  FILE_KIND_PROGRAM = 26,
};

struct TransferSession {
  FileKind kind = FILE_KIND_BINARY;
  uint32_t startTick = 0;
  Job job = Job::NONE;  // the transfer under way; NONE once it has ended
};

}  // namespace quillon
