// The sending side of the packet link: new packets, resends with their
// limit, and the diagnostic line about the last packet sent.
#include "core/protocol/packet.h"

#include <algorithm>

#include "core/host.h"
#include "core/log/event_log.h"
#include "core/protocol/commands.h"
#include "core/serial/serial_port.h"

namespace quillon {

namespace {

// A resend request beyond this many for one id gives the packet up.
constexpr int MAX_CONSECUTIVE_RESENDS = 5;

// One write on the open port. A failure is not reported (the answer timeout
// takes care of a packet that never left); the port's error state is
// cleared so the next write can go through. With no port the write simply
// does not happen.
void WritePiece(PacketLink& link, const uint8_t* data, size_t length) {
  std::shared_ptr<SerialDevice> port = link.link.Port();
  if (!port) return;
  if (port->Write(data, length).count != length) port->ClearError();
}

void WriteLastPacket(PacketLink& link) {
  ProtocolState& p = link.state;
  WritePiece(link, p.lastHeader.bytes.data(), HEADER_SIZE);
  uint16_t length = p.lastHeader.Length();
  // The retained data holds exactly the last header's length when that is
  // nonzero; the bound only guards against a mismatch.
  if (length > 0) {
    WritePiece(link, p.retainedData.data(), std::min<size_t>(length, p.retainedData.size()));
  }
}

}  // namespace

void RS232_SendPacket(PacketLink& link, uint16_t command, const uint8_t* data, uint16_t length) {
  ProtocolState& p = link.state;
  PacketHeader& h = p.lastHeader;
  h.bytes[0] = START_MARK;
  h.bytes[1] = START_MARK;
  h.SetField(6, command);
  ++p.idCounter;  // 16 bits: 65535 is followed by 0
  h.SetField(8, p.idCounter);
  p.resendFlag = 0;
  p.linkState.store(LINK_AWAIT_REPLY);
  h.SetField(4, length);
  h.SetField(2, PacketChecksum(length, command, p.idCounter, data, length));

  WritePiece(link, h.bytes.data(), HEADER_SIZE);
  if (length > 0) {
    WritePiece(link, data, length);
    // Kept for resends: the caller's buffer lives only for this call. A
    // packet without data leaves the previous copy alone.
    p.retainedData.assign(data, data + length);
  }
  p.lastSendTick.store(link.host.TickCount());
}

void RS232_SendText(PacketLink& link, uint16_t command, const std::string& text) {
  auto length = static_cast<uint16_t>(std::min<size_t>(text.size(), 0xFFFF));
  RS232_SendPacket(link, command, reinterpret_cast<const uint8_t*>(text.data()), length);
}

void RS232_ResendPacket(PacketLink& link, ResendCause cause) {
  ProtocolState& p = link.state;
  const PacketHeader& h = p.lastHeader;
  // The long command is never repeated: its timeout just leaves the link idle.
  if (h.Command() == RS232_LONG_COMMAND) return;
  // Nothing has been sent yet, so there is nothing to repeat (a stray error
  // report or a damaged packet from the readout before the first send).
  if (h.bytes[0] != START_MARK) return;

  if (p.counting && h.Id() == p.countedId) {
    // Held at the limit, so endless requests for a dead packet cannot
    // overflow the count; each one gives up again.
    if (p.consecutiveResends <= MAX_CONSECUTIVE_RESENDS) ++p.consecutiveResends;
    if (p.consecutiveResends > MAX_CONSECUTIVE_RESENDS) {
      p.transferActive.store(false);
      p.linkState.store(LINK_IDLE);
      if (link.onGiveUp) link.onGiveUp();
      return;
    }
  } else {
    p.countedId = h.Id();
    p.counting = true;
    p.consecutiveResends = 0;
  }

  p.totalRetryCount.fetch_add(1);
  p.resendFlag = 1;
  p.lastCause = cause;
  p.linkState.store(LINK_AWAIT_REPLY);
  // The same bytes as the first time: same id, same checksum.
  WriteLastPacket(link);
  p.lastSendTick.store(link.host.TickCount());
}

const char* ResendCauseName(int cause) {
  switch (cause) {
    case REMOTE_CHECKSUM:
      return "REMOTE_CHECKSUM";
    case LOCAL_CHECKSUM:
      return "LOCAL_CHECKSUM";
    case REMOTE_TIMEOUT:
      return "REMOTE_TIMEOUT";
    case LOCAL_TIMEOUT:
      return "LOCAL_TIMEOUT";
    default:
      return "Unknown";
  }
}

void RS232_LogLastCommand(PacketLink& link) {
  const ProtocolState& p = link.state;
  const PacketHeader& h = p.lastHeader;
  int length = h.Length();
  // The data of the last packet with data; never read past what is kept.
  int shown = static_cast<int>(std::min<size_t>(static_cast<size_t>(length), p.retainedData.size()));
  const char* text = p.retainedData.empty() ? "" : reinterpret_cast<const char*>(p.retainedData.data());
  LogLine(link.log, 0, "LAST COMMAND: Resend=%d, Id=%d, Cmd=%d, cs=%d, buf(%d)=%.*s, cause=%s",
          p.resendFlag, static_cast<int>(h.Id()), static_cast<int>(h.Command()),
          static_cast<int>(h.Checksum()), length, shown, text, ResendCauseName(p.lastCause));
}

}  // namespace quillon
