// Frame encoding and the framing state machine, shared by the host's
// receive parser and the simulator.

#include <algorithm>

#include "core/protocol/packet.h"
#include "core/protocol/parser.h"

namespace quillon {

uint16_t PacketChecksum(uint16_t length, uint16_t command, uint16_t id, const uint8_t* data,
                        size_t count) {
  uint32_t sum = (length & 0xFFu) + (length >> 8) + (command & 0xFFu) + (command >> 8) +
                 (id & 0xFFu) + (id >> 8);
  for (size_t i = 0; i < count; ++i) sum += data[i];
  return static_cast<uint16_t>(sum & 0xFFFFu);
}

std::vector<uint8_t> EncodeFrame(uint16_t command, uint16_t id, const uint8_t* data,
                                 uint16_t length) {
  PacketHeader header;
  header.bytes[0] = START_MARK;
  header.bytes[1] = START_MARK;
  header.SetField(4, length);
  header.SetField(6, command);
  header.SetField(8, id);
  header.SetField(2, PacketChecksum(length, command, id, data, length));
  // Sized once and filled in place: growing the vector by insert trips a
  // false array-bounds warning of g++ 12 in optimised builds.
  std::vector<uint8_t> frame(HEADER_SIZE + length);
  std::copy(header.bytes.begin(), header.bytes.end(), frame.begin());
  if (length > 0) std::copy(data, data + length, frame.begin() + HEADER_SIZE);
  return frame;
}

void FrameParser::Reset() {
  state_ = RX_HUNT;
  headerCount_ = 0;
}

void PacketDeleter::operator()(ReceivedPacket* packet) const { delete packet; }

PacketPtr FrameParser::Feed(uint8_t byte) {
  switch (state_) {
    case RX_HUNT:
      if (byte == START_MARK) state_ = RX_TILDE;
      return nullptr;
    case RX_TILDE:
      if (byte == START_MARK) {
        headerCount_ = 0;
        state_ = RX_HEADER;
      } else {
        // The byte is dropped with the lone mark, not taken as a new first mark.
        state_ = RX_HUNT;
      }
      return nullptr;
    case RX_HEADER: {
      header_[headerCount_++] = byte;
      if (headerCount_ < 8) return nullptr;
      work_.receivedChecksum = static_cast<uint16_t>(header_[0] | (header_[1] << 8));
      work_.length = static_cast<uint16_t>(header_[2] | (header_[3] << 8));
      work_.command = static_cast<uint16_t>(header_[4] | (header_[5] << 8));
      work_.id = static_cast<uint16_t>(header_[6] | (header_[7] << 8));
      work_.computedChecksum = PacketChecksum(work_.length, work_.command, work_.id, nullptr, 0);
      work_.dataCount = 0;
      if (work_.length > MAX_DATA) {
        // More than the data area holds: never stored, never posted. The
        // frame is dropped at once and the hunt for the next one begins.
        state_ = RX_HUNT;
        return nullptr;
      }
      if (work_.length == 0) break;
      state_ = RX_DATA;
      return nullptr;
    }
    case RX_DATA:
      work_.data[work_.dataCount++] = byte;
      if (work_.dataCount < work_.length) return nullptr;
      break;
    default:
      state_ = RX_HUNT;
      return nullptr;
  }
  // Completion.
  state_ = RX_HUNT;
  uint32_t sum = work_.computedChecksum;
  for (int32_t i = 0; i < work_.dataCount; ++i) sum += work_.data[i];
  work_.computedChecksum = static_cast<uint16_t>(sum & 0xFFFFu);
  PacketPtr packet(new ReceivedPacket);
  *packet = work_;
  packet->data[packet->dataCount] = 0;
  return packet;
}

}  // namespace quillon
