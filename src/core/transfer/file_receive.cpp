#include "core/transfer/file_receive.h"

#include <cstdio>
#include <cstdlib>

#include "core/app.h"
#include "core/app/event_log.h"
#include "core/app/main_dialog.h"
#include "core/protocol/dispatcher.h"
#include "core/protocol/parser.h"
#include "core/transfer/session.h"
#include "core/transfer/transfer_control.h"

namespace quillon {

namespace {

int KindOfReceiveCommand(int commandId) {
  switch (commandId) {
    case IDC_RECEIVE_SETTINGS:
      return FILE_KIND_SETTINGS;
    case IDC_RECEIVE_PROGRAM:
      return FILE_KIND_PROGRAM;
    default:
      return FILE_KIND_BINARY;
  }
}

// Packet data read as a decimal number: leading blanks and a sign allowed,
// reading stops at the first other character, no digits give 0.
long DecimalValue(const ReceivedPacket& packet) {
  size_t count = packet.dataCount > 0 ? static_cast<size_t>(packet.dataCount) : 0;
  if (count > MAX_DATA) count = MAX_DATA;
  std::string text(reinterpret_cast<const char*>(packet.data), count);
  return std::strtol(text.c_str(), nullptr, 10);
}

}  // namespace

bool StartFileReceive(App& app, int commandId, const char* logText) {
  app.session.kind = KindOfReceiveCommand(commandId);
  CloseDataFile(app);
  if (!ChooseSaveFile(app, app.dataFile.name, FileTransferFilter())) return false;
  app.dataFile.file = std::fopen(app.dataFile.name.c_str(), "wb");
  if (app.dataFile.file == nullptr) return false;
  BeginTransfer(app, commandId, &app.session.fileNotifier);
  LogLine(app, 0, "%s", logText);
  std::string request = std::to_string(app.session.kind);
  if (app.session.kind == FILE_KIND_PROGRAM) request += app.programName;
  RS232_SendText(app, RS232_FILE_GET_START, request);
  return true;
}

void RunProgramReceive(App& app) {
  app.programName.clear();
  std::string typed;
  int result = app.host.RunProgramNamePrompt(typed);
  // The name field holds 63 characters; anything typed beyond is dropped.
  if (typed.size() > PROGRAM_NAME_MAX) typed.resize(PROGRAM_NAME_MAX);
  app.programName = typed;
  // OK with an empty name counts as a cancel. A prompt that could not be
  // shown at all reports -1 and the receive goes ahead with the name as is.
  if (result == 1 && app.programName.empty()) result = 0;
  if (result == 0) return;
  StartFileReceive(app, IDC_RECEIVE_PROGRAM, "Receiving Program File...");
}

void HandleFileSize(App& app, ReceivedPacket& packet) {
  int32_t size = static_cast<int32_t>(DecimalValue(packet));
  app.host.CreateProgressStrip(static_cast<uint32_t>(size), true);
  RS232_SendText(app, RS232_FILE_GET_DATA, "1");
}

void HandleFileData(App& app, ReceivedPacket& packet) {
  // A piece with no file open (after an error or a stop) is not ours to keep.
  if (app.dataFile.file == nullptr) return;
  size_t count = packet.dataCount > 0 ? static_cast<size_t>(packet.dataCount) : 0;
  if (count > MAX_DATA) count = MAX_DATA;
  if (count > 0) std::fwrite(packet.data, 1, count, app.dataFile.file);
  RS232_SendText(app, RS232_FILE_GET_DATA, std::to_string(app.session.kind));
  if (count > 1) app.host.AdvanceProgressStrip(static_cast<uint32_t>(count));
}

void HandleFileEnd(App& app, ReceivedPacket&) {
  // A file the disk did not take whole (full, removed) must not be reported
  // as received.
  bool written = AllWritten(app.dataFile);
  CloseDataFile(app);
  app.protocol.transferActive.store(0);
  app.host.DestroyProgressStrip();
  // Restores the start button and beeps before the notifier's box.
  if (written) {
    ReportResult(app, Report::COMPLETE, "Transfer complete.");
  } else {
    ReportResult(app, Report::FAILURE, "Transfer error.");
  }
}

}  // namespace quillon
