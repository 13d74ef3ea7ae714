// The packet frame, its checksum and id, and the sending side of the link.
//
// Frame (little-endian): 7E 7E, checksum, length, command, id, data. The
// checksum is the 16-bit sum of the six length/command/id bytes and of every
// data byte.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "core/protocol/parser.h"

namespace quillon {

class EventLog;
class Host;
class SerialLink;

constexpr size_t HEADER_SIZE = 10;

enum ResendCause : int {
  REMOTE_CHECKSUM = 1,
  LOCAL_CHECKSUM = 2,
  REMOTE_TIMEOUT = 3,
  LOCAL_TIMEOUT = 4,
};

enum LinkState : int { LINK_IDLE = 0, LINK_AWAIT_REPLY = 4, LINK_RECEIVING = 5 };

// The 10-byte header in wire layout.
struct PacketHeader {
  std::array<uint8_t, HEADER_SIZE> bytes{};

  uint16_t Field(size_t offset) const {
    return static_cast<uint16_t>(bytes[offset] | (bytes[offset + 1] << 8));
  }
  void SetField(size_t offset, uint16_t value) {
    bytes[offset] = static_cast<uint8_t>(value & 0xFF);
    bytes[offset + 1] = static_cast<uint8_t>(value >> 8);
  }
  uint16_t Checksum() const { return Field(2); }
  uint16_t Length() const { return Field(4); }
  uint16_t Command() const { return Field(6); }
  uint16_t Id() const { return Field(8); }
};

// Checksum of a packet: the header's length/command/id bytes plus the data.
uint16_t PacketChecksum(uint16_t length, uint16_t command, uint16_t id, const uint8_t* data,
                        size_t count);
// A whole frame, ready for the wire.
std::vector<uint8_t> EncodeFrame(uint16_t command, uint16_t id, const uint8_t* data,
                                 uint16_t length);

// The one record of the packet link. Fields touched by both the receive
// thread and the handler thread are atomics.
struct ProtocolState {
  PacketHeader lastHeader;
  std::vector<uint8_t> retainedData;
  uint16_t idCounter = 0;
  int resendFlag = 0;
  int lastCause = 0;
  uint16_t countedId = 0;
  // Whether countedId names a packet yet. Without it the zero of start-up
  // would pass for id 0 and that packet, after the id wrap, would lose one
  // of its resends.
  bool counting = false;
  int consecutiveResends = 0;
  std::atomic<int32_t> totalRetryCount{0};
  std::atomic<int> linkState{LINK_IDLE};
  std::atomic<uint32_t> lastSendTick{0};
  std::atomic<uint32_t> lastReceiveTick{0};
  std::atomic<bool> transferActive{false};
};

// The packet side of one port: its state, the parser, and what it needs.
struct PacketLink {
  PacketLink(SerialLink& linkIn, EventLog& logIn, Host& hostIn)
      : link(linkIn), log(logIn), host(hostIn) {}
  SerialLink& link;
  EventLog& log;
  Host& host;
  ProtocolState state;
  std::mutex parserMutex;  // held for each block and for a timeout's reset
  FrameParser parser;
  // Called when a packet is given up after its resends.
  std::function<void()> onGiveUp;
};

void RS232_SendPacket(PacketLink& link, uint16_t command, const uint8_t* data, uint16_t length);
// Text data, sent without a terminator.
void RS232_SendText(PacketLink& link, uint16_t command, const std::string& text);
void RS232_ResendPacket(PacketLink& link, ResendCause cause);
void RS232_LogLastCommand(PacketLink& link);
const char* ResendCauseName(int cause);

}  // namespace quillon
