// Arbitrary bytes from the line, in arbitrary blocks, with timer ticks in
// between: the parser must never store beyond a packet's data area, and
// every packet it posts goes through the dispatcher like a real one.
//
// Input layout: a sequence of chunks, each one control byte followed by up
// to 63 bytes of line data. The control byte's low six bits give the chunk's
// length; bit 6 lets a timer tick pass (101 ms) after it, bit 7 marks a
// transfer as active for that tick.
#include <cstddef>
#include <cstdint>

#include "core/app/main_dialog.h"
#include "core/protocol/dispatcher.h"
#include "core/protocol/packet.h"
#include "core/protocol/parser.h"
#include "support/fakes.h"

using namespace quillon;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  test::Rig rig;
  rig.OpenFakePort();
  rig.host.AddControl(IDC_STATUS_LINE);
  // Something outstanding, so resends and give-ups have a packet to act on.
  RS232_SendText(rig.app, RS232_FILE_CHUNK, "chunk");

  size_t at = 0;
  while (at < size) {
    uint8_t control = data[at++];
    size_t length = control & 0x3F;
    if (length > size - at) length = size - at;
    RS232_ReceiveBytes(rig.app, data + at, length);
    at += length;

    if (control & 0x40) {
      rig.app.protocol.transferActive = (control & 0x80) ? 1 : 0;
      rig.host.Advance(101);
      RS232_CheckTimeouts(rig.app);
    }
    for (auto& message : rig.host.TakePosts()) {
      if (!message.packet) __builtin_trap();
      const ReceivedPacket& p = *message.packet;
      // What the parser promises every posted packet.
      if (p.length > MAX_DATA || p.dataCount != p.length) __builtin_trap();
      if (p.data[p.dataCount] != 0) __builtin_trap();
      RS232_DispatchPacket(rig.app, std::move(message.packet));
    }
  }
  return 0;
}
