// Any bytes from the line: every packet the parser completes fits its data
// area, holds exactly what its header announced, and carries the sum of
// what it holds.
#include <cstddef>
#include <cstdint>

#include "core/protocol/packet.h"
#include "core/protocol/parser.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  quillon::FrameParser parser;
  for (size_t i = 0; i < size; ++i) {
    quillon::PacketPtr p = parser.Feed(data[i]);
    if (!p) continue;
    if (p->length > quillon::MAX_DATA || p->dataCount != p->length || p->data[p->dataCount] != 0)
      __builtin_trap();
    if (p->computedChecksum !=
        quillon::PacketChecksum(p->length, p->command, p->id, p->data, p->length)) {
      __builtin_trap();
    }
  }
  return 0;
}
