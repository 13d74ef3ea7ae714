// The byte-wise receive parser and the answer timeouts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "core/host.h"

namespace quillon {

struct PacketLink;

constexpr uint8_t START_MARK = 0x7E;
constexpr size_t MAX_DATA = 512;

struct ReceivedPacket {
  uint16_t receivedChecksum = 0;
  uint16_t length = 0;
  uint16_t command = 0;
  uint16_t id = 0;
  uint16_t computedChecksum = 0;
  uint8_t data[MAX_DATA + 1] = {};
  int32_t dataCount = 0;
};

enum RxState : int { RX_HUNT = 0, RX_TILDE = 1, RX_HEADER = 2, RX_DATA = 3 };

// The framing state machine, free of any link state, so the simulator frames
// with the very same code. Feed returns a completed packet or nullptr.
class FrameParser {
 public:
  PacketPtr Feed(uint8_t byte);
  void Reset();
  int State() const { return state_; }

 private:
  int state_ = RX_HUNT;
  int headerCount_ = 0;
  uint8_t header_[8] = {};
  ReceivedPacket work_;
};

// Receive thread: one block of bytes, in arrival order.
void RS232_ReceiveBytes(PacketLink& link, const uint8_t* data, size_t count);
// Handler thread, every 100 ms tick: resends the last packet when its answer
// does not come in time or stops arriving half-way (only while a transfer
// is active). Returns true when a timeout fired.
bool CheckAnswerTimeouts(PacketLink& link);

}  // namespace quillon
