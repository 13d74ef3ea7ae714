// The transfer session shared by the four maintenance transfers of one port:
// what kind of file is being moved, since when, and which job it is.
#pragma once

#include <cstdint>

#include "core/jobs.h"

namespace quillon {

struct TransferSession {
  FileKind kind = FILE_KIND_BINARY;
  uint32_t startTick = 0;
  Job job = Job::NONE;  // the transfer under way; NONE once it has ended
};

}  // namespace quillon
