#include "core/transfer/nlec.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/app.h"
#include "core/app/event_log.h"
#include "core/app/main_dialog.h"
#include "core/protocol/dispatcher.h"
#include "core/protocol/parser.h"
#include "core/transfer/session.h"
#include "core/transfer/text_file.h"
#include "core/transfer/transfer_control.h"

namespace quillon {

namespace {

// A line goes out in pieces of at most this many characters.
constexpr size_t NLEC_PIECE_MAX = 511;
constexpr size_t CHECKSUM_TEXT_MAX = 128;

// The next piece of the table, cut at a NUL as the readout expects text.
bool ReadNlecPiece(std::FILE* file, std::string& text) {
  if (!ReadTextPiece(file, NLEC_PIECE_MAX, text)) return false;
  size_t nul = text.find('\0');
  if (nul != std::string::npos) text.resize(nul);
  return true;
}

size_t DataCount(const ReceivedPacket& packet) {
  size_t count = packet.dataCount > 0 ? static_cast<size_t>(packet.dataCount) : 0;
  return count > MAX_DATA ? MAX_DATA : count;
}

long DecimalValue(const ReceivedPacket& packet) {
  std::string text(reinterpret_cast<const char*>(packet.data), DataCount(packet));
  return std::strtol(text.c_str(), nullptr, 10);
}

std::string CompletionText(App& app) {
  uint32_t elapsed = app.host.TickCount() - app.session.startTick;
  char text[80];
  std::snprintf(text, sizeof text, "NLEC Transfer completed in %d seconds.",
                static_cast<int>(elapsed / 1000u));
  return text;
}

// The common end of an NLEC transfer: its own box, not the notifier's.
void FinishNlec(App& app, const std::string& text) {
  app.protocol.transferActive.store(0);
  AddLogText(app, text);
  app.host.DestroyProgressStrip();
  RestoreStartButton(app);
  app.host.Beep();
  app.host.ShowMessageBox(text, app.session.messageCaption, MB_STYLE_OK, true);
}

// One received line, written with its line end.
void WriteNlecLine(App& app, const ReceivedPacket& packet) {
  size_t count = DataCount(packet);
  size_t length = 0;
  while (length < count && packet.data[length] != 0) ++length;
  WriteText(app.nlecFile.file, reinterpret_cast<const char*>(packet.data), length);
  WriteText(app.nlecFile.file, "\n", 1);
}

}  // namespace

bool StartNlecSend(App& app, int commandId) {
  TransferFile& nlec = app.nlecFile;
  CloseNlecFile(app);
  if (!ChooseOpenFile(app, nlec.name, NlecFilter())) return false;
  nlec.file = std::fopen(nlec.name.c_str(), "rb");
  if (nlec.file == nullptr) return false;
  nlec.sum = 0;
  nlec.count = 0;
  std::string piece;
  while (ReadNlecPiece(nlec.file, piece)) {
    for (char c : piece) {
      nlec.sum = static_cast<uint16_t>(nlec.sum + static_cast<unsigned char>(c));
      ++nlec.count;
    }
  }
  std::rewind(nlec.file);
  // The 16-bit strip carries the count modulo 65536.
  app.host.CreateProgressStrip(static_cast<uint16_t>(nlec.count), false);
  LogLine(app, 0, "Sending NLEC...");
  BeginTransfer(app, commandId, &app.session.nlecNotifier);
  RS232_SendText(app, RS232_NLEC_SEND_START, std::to_string(nlec.sum));
  return true;
}

void HandleNlecLineRequest(App& app, ReceivedPacket&) {
  TransferFile& nlec = app.nlecFile;
  if (nlec.file == nullptr) return;
  std::string piece;
  if (ReadNlecPiece(nlec.file, piece)) {
    RS232_SendPacket(app, RS232_NLEC_LINE, reinterpret_cast<const uint8_t*>(piece.data()),
                     static_cast<uint16_t>(piece.size()));
    if (!piece.empty()) app.host.AdvanceProgressStrip(static_cast<uint32_t>(piece.size()));
    return;
  }
  RS232_SendText(app, RS232_NLEC_SEND_END, "1");
  CloseNlecFile(app);
}

void HandleNlecSendResult(App& app, ReceivedPacket& packet) {
  bool match = false;
  if (packet.length < CHECKSUM_TEXT_MAX) {
    long value = DecimalValue(packet);
    match = static_cast<uint16_t>(static_cast<unsigned long>(value) & 0xFFFFu) == app.nlecFile.sum;
  }
  FinishNlec(app, match ? CompletionText(app) : std::string("Nlec Checksum Failure."));
}

void HandleNlecError(App& app, ReceivedPacket&) {
  CloseNlecFile(app);
  AddLogText(app, "NLEC Transfer error.");
  app.host.DestroyProgressStrip();
  // The stop runs through the NLEC button's command once this handler is
  // done. With nothing running there is nothing to stop, and the same
  // command would open a file dialog in answer to an error, so it is not
  // posted then.
  if (app.protocol.transferActive.load() != 0) {
    app.host.Post(UiMessage{UiMessage::COMMAND, nullptr, true, IDC_NLEC_SEND});
  }
}

bool StartNlecGet(App& app, int commandId) {
  TransferFile& nlec = app.nlecFile;
  CloseNlecFile(app);
  if (!ChooseSaveFile(app, nlec.name, NlecFilter())) return false;
  nlec.file = std::fopen(nlec.name.c_str(), "wb");
  if (nlec.file == nullptr) return false;
  BeginTransfer(app, commandId, &app.session.nlecNotifier);
  LogLine(app, 0, "Getting NLEC...");
  RS232_SendText(app, RS232_NLEC_GET_START, "1");
  return true;
}

void HandleNlecLineCount(App& app, ReceivedPacket& packet) {
  long lines = DecimalValue(packet);
  app.host.CreateProgressStrip(static_cast<uint16_t>(static_cast<unsigned long>(lines) & 0xFFFFu),
                               false);
  RS232_SendText(app, RS232_NLEC_GET_LINE, "1");
}

void HandleNlecLine(App& app, ReceivedPacket& packet) {
  if (app.nlecFile.file == nullptr) return;
  WriteNlecLine(app, packet);
  RS232_SendText(app, RS232_NLEC_GET_LINE, "1");
  app.host.AdvanceProgressStrip(1);
}

void HandleNlecLastLine(App& app, ReceivedPacket& packet) {
  if (app.nlecFile.file == nullptr) return;
  WriteNlecLine(app, packet);
  // A table the disk did not take whole must not be reported as received.
  bool written = AllWritten(app.nlecFile);
  CloseNlecFile(app);
  FinishNlec(app, written ? CompletionText(app) : std::string("NLEC Transfer error."));
}

}  // namespace quillon
