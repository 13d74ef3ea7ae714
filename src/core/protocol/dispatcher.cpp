// Received packets, on the handler thread: the checksum is checked first,
// then the command code decides who acts on the packet.
#include "core/protocol/dispatcher.h"

#include <algorithm>

#include "core/log/event_log.h"
#include "core/protocol/commands.h"
#include "core/protocol/packet.h"

namespace quillon {

void ResumeAnswerWait(PacketLink& link) {
  ProtocolState& p = link.state;
  if (!p.transferActive.load() || p.lastHeader.Command() == 0) return;
  int idle = LINK_IDLE;
  // Only from idle: bytes that arrived since (the answer itself) rule.
  p.linkState.compare_exchange_strong(idle, LINK_AWAIT_REPLY);
}

void RS232_DispatchPacket(PacketLink& link, ReceivedPacket& p, PacketHandler& handler) {
  if (p.receivedChecksum != p.computedChecksum) {
    // Never acted on, whatever its code: ask for our last packet again.
    LogLine(link.log, 0, "Receive Packet has bad checksum.");
    RS232_ResendPacket(link, LOCAL_CHECKSUM);
    return;
  }
  // The data as text: the area has one byte of room beyond the largest data.
  const size_t count = static_cast<size_t>(std::clamp<int32_t>(p.dataCount, 0, MAX_DATA));
  switch (p.command) {
    case RS232_CMD_BAD_CHECKSUM:
      LogLine(link.log, 0, "ERROR RS232_CMD_BAD_CHECKSUM: ");
      RS232_ResendPacket(link, REMOTE_CHECKSUM);
      break;
    case RS232_RESEND_REMOTE_TIMEOUT:
      LogLine(link.log, 0, "ERROR RS232_RESEND_REMOTE_TIMEOUT: ");
      RS232_ResendPacket(link, REMOTE_TIMEOUT);
      break;
    case RS232_LOG:
      RS232_LogPacket(link, "LOG: ", p);
      ResumeAnswerWait(link);
      break;
    case RS232_FLASH_ERASE_RESULT:
      ResumeAnswerWait(link);
      p.data[std::min<size_t>(p.length, MAX_DATA)] = 0;
      handler.OnFlashEraseResult(reinterpret_cast<const char*>(p.data));
      break;
    case RS232_NOP:
      p.data[count] = 0;
      ResumeAnswerWait(link);
      break;
    case RS232_NLEC_SEND_START:
    case RS232_NLEC_LINE:
    case RS232_NLEC_SEND_END:
    case RS232_NLEC_ERROR:
    case RS232_FILE_SEND_START:
    case RS232_FILE_CHUNK:
    case RS232_FILE_SEND_END:
    case RS232_FILE_ERROR:
    case RS232_NLEC_GET_START:
    case RS232_NLEC_GET_LINE:
    case RS232_NLEC_GET_END:
    case RS232_FILE_GET_START:
    case RS232_FILE_GET_DATA:
    case RS232_FILE_GET_END:
      handler.OnTransferPacket(p);
      break;
    default:
      // 4, 9, 14, 19 and everything outside 1 to 23.
      RS232_LogPacket(link, "ERROR Unknown Command: ", p);
      RS232_LogLastCommand(link);
      ResumeAnswerWait(link);
      break;
  }
}

void RS232_LogPacket(PacketLink& link, const char* prefix, const ReceivedPacket& packet) {
  // Never more than the data area holds, even for a packet made elsewhere.
  int shown = std::clamp<int32_t>(packet.dataCount, 0, static_cast<int32_t>(MAX_DATA));
  LogLine(link.log, 0, "%s Id=%d, Cmd=%d, cs=%d,%d, len=%d,  buf(%d)=%.*s", prefix,
          static_cast<int>(packet.id), static_cast<int>(packet.command),
          static_cast<int>(packet.receivedChecksum), static_cast<int>(packet.computedChecksum),
          static_cast<int>(packet.length), static_cast<int>(packet.dataCount), shown,
          reinterpret_cast<const char*>(packet.data));
}

void SendTestPacket(PacketLink& link) {
  static const uint8_t kTestData[] = {'1', '0', '0', '0', '0', '0'};
  RS232_SendPacket(link, RS232_TEST, kTestData, sizeof kTestData);
}

}  // namespace quillon
