// Received packets, on the UI thread: the checksum is checked first, then
// the command code decides who acts on the packet.

#include "core/protocol/dispatcher.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "core/app.h"
#include "core/app/event_log.h"
#include "core/app/main_dialog.h"
#include "core/protocol/packet.h"
#include "core/protocol/parser.h"
#include "core/transfer/file_receive.h"
#include "core/transfer/file_send.h"
#include "core/transfer/nlec.h"

namespace quillon {

namespace {

// The data as text, ended at position at. The area has one byte of room
// beyond the largest data, and the parser never posts more than that, but a
// packet made elsewhere is held to the area all the same.
const char* TerminateAt(ReceivedPacket& packet, size_t at) {
  packet.data[std::min(at, MAX_DATA)] = 0;
  return reinterpret_cast<const char*>(packet.data);
}

void ShowFlashEraseResult(App& app, ReceivedPacket& packet) {
  const char* text = TerminateAt(packet, packet.length);
  if (std::strcmp(text, "0") == 0) {
    app.host.ShowMessageBox("Flash erase successful.", APP_TITLE, MB_STYLE_OK, true);
    return;
  }
  char message[MAX_DATA + 64];
  std::snprintf(message, sizeof message, "Flash erase failure: %s", text);
  app.host.ShowMessageBox(message, APP_TITLE, MB_STYLE_OK, true);
}

// A packet the readout sends of its own accord (a log line, a no-operation,
// an erase result, an unknown code) answers nothing the host sent, yet the
// parser ended the answer wait when it completed. During a transfer the wait
// goes on from the last send, or an answer lost after such a packet would
// leave the transfer waiting for ever, with no resend and no report.
void ResumeAnswerWait(App& app) {
  ProtocolState& p = app.protocol;
  if (p.transferActive.load() == 0 || p.lastHeader.Command() == 0) return;
  int idle = LINK_IDLE;
  // Only from idle: bytes that arrived since (the answer itself) rule.
  p.linkState.compare_exchange_strong(idle, LINK_AWAIT_REPLY);
}

}  // namespace

void RS232_DispatchPacket(App& app, std::unique_ptr<ReceivedPacket> packet) {
  if (!packet) return;
  ReceivedPacket& p = *packet;
  if (p.receivedChecksum != p.computedChecksum) {
    // Never acted on, whatever its code: ask for our last packet again.
    LogLine(app, 0, "Receive Packet has bad checksum.");
    RS232_ResendPacket(app, LOCAL_CHECKSUM);
    return;
  }
  switch (p.command) {
    case RS232_CMD_BAD_CHECKSUM:
      LogLine(app, 0, "ERROR RS232_CMD_BAD_CHECKSUM: ");
      RS232_ResendPacket(app, REMOTE_CHECKSUM);
      break;
    case RS232_RESEND_REMOTE_TIMEOUT:
      LogLine(app, 0, "ERROR RS232_RESEND_REMOTE_TIMEOUT: ");
      RS232_ResendPacket(app, REMOTE_TIMEOUT);
      break;
    case RS232_LOG:
      RS232_LogPacket(app, "LOG: ", p);
      ResumeAnswerWait(app);
      break;
    case RS232_FLASH_ERASE_RESULT:
      ResumeAnswerWait(app);
      ShowFlashEraseResult(app, p);
      break;
    case RS232_NOP:
      TerminateAt(p, static_cast<size_t>(std::max(p.dataCount, 0)));
      ResumeAnswerWait(app);
      break;

    case RS232_FILE_SEND_START:
    case RS232_FILE_CHUNK:
      HandleFileChunkRequest(app, p);
      break;
    case RS232_FILE_SEND_END:
      HandleFileSendResult(app, p);
      break;
    case RS232_FILE_ERROR:
      HandleFileError(app, p);
      break;
    case RS232_FILE_GET_START:
      HandleFileSize(app, p);
      break;
    case RS232_FILE_GET_DATA:
      HandleFileData(app, p);
      break;
    case RS232_FILE_GET_END:
      HandleFileEnd(app, p);
      break;
    case RS232_NLEC_SEND_START:
    case RS232_NLEC_LINE:
      HandleNlecLineRequest(app, p);
      break;
    case RS232_NLEC_SEND_END:
      HandleNlecSendResult(app, p);
      break;
    case RS232_NLEC_ERROR:
      HandleNlecError(app, p);
      break;
    case RS232_NLEC_GET_START:
      HandleNlecLineCount(app, p);
      break;
    case RS232_NLEC_GET_LINE:
      HandleNlecLine(app, p);
      break;
    case RS232_NLEC_GET_END:
      HandleNlecLastLine(app, p);
      break;

    default:
      // 4, 9, 14, 19 and everything outside 1 to 23.
      RS232_LogPacket(app, "ERROR Unknown Command: ", p);
      RS232_LogLastCommand(app);
      ResumeAnswerWait(app);
      break;
  }
  // The packet is released here, on every path, when it goes out of scope.
}

void RS232_LogPacket(App& app, const char* prefix, const ReceivedPacket& packet) {
  // Never more than the data area holds, even for a packet made elsewhere.
  int shown = std::clamp<int32_t>(packet.dataCount, 0, static_cast<int32_t>(MAX_DATA));
  LogLine(app, 0, "%s Id=%d, Cmd=%d, cs=%d,%d, len=%d,  buf(%d)=%.*s", prefix,
          static_cast<int>(packet.id), static_cast<int>(packet.command),
          static_cast<int>(packet.receivedChecksum), static_cast<int>(packet.computedChecksum),
          static_cast<int>(packet.length), static_cast<int>(packet.dataCount), shown,
          reinterpret_cast<const char*>(packet.data));
}

void SendTestPacket(App& app) {
  static const uint8_t kTestData[] = {'1', '0', '0', '0', '0', '0'};
  RS232_SendPacket(app, RS232_TEST, kTestData, sizeof kTestData);
}

}  // namespace quillon
