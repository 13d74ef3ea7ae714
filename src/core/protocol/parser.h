// The byte-wise receive parser and the answer timeouts.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>

#include "core/protocol/packet.h"

namespace quillon {

struct App;

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
  // Takes one byte; when it completes a packet, returns it (heap copy).
  std::unique_ptr<ReceivedPacket> Feed(uint8_t byte);
  void Reset();
  int State() const { return state_; }
  // Set when the last byte broke a pair of start marks (first mark followed
  // by another byte).
  bool LostSecondMark() const { return lostSecondMark_; }

 private:
  int state_ = RX_HUNT;
  int headerCount_ = 0;
  uint8_t header_[8] = {};
  bool lostSecondMark_ = false;
  ReceivedPacket work_;
};

struct ParserState {
  std::mutex mutex;  // held for each block and for a timeout's reset
  FrameParser frame;
};

// Receive thread: one block of bytes, in arrival order.
int RS232_ReceiveBytes(App& app, const uint8_t* data, size_t count);
// UI thread: every 100 ms tick.
void RS232_CheckTimeouts(App& app);

}  // namespace quillon
