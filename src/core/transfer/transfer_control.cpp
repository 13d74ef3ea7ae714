#include "core/transfer/transfer_control.h"

#include <cstdio>

#include "core/app.h"
#include "core/app/event_log.h"
#include "core/app/main_dialog.h"
#include "core/transfer/file_receive.h"
#include "core/transfer/file_send.h"
#include "core/transfer/nlec.h"
#include "core/transfer/session.h"

namespace quillon {

namespace {

// The open dialog starts in the program's own directory.
constexpr const char* OPEN_INITIAL_DIR = ".\\";

}  // namespace

bool AllWritten(const TransferFile& file) {
  if (file.file == nullptr) return true;
  return std::fflush(file.file) == 0 && std::ferror(file.file) == 0;
}

void CloseDataFile(App& app) {
  TransferFile& data = app.dataFile;
  if (data.file == nullptr) return;
  std::fclose(data.file);
  data.file = nullptr;
  // Only a bitmap send has its own intermediate file to clean up.
  if (app.session.kind == FILE_KIND_BITMAP) std::remove(BITMAP_FILE_NAME);
}

void CloseNlecFile(App& app) {
  TransferFile& nlec = app.nlecFile;
  if (nlec.file == nullptr) return;
  std::fclose(nlec.file);
  nlec.file = nullptr;
}

void CloseTransferFiles(App& app) {
  CloseNlecFile(app);
  CloseDataFile(app);
}

void BeginTransfer(App& app, int commandId, ResultNotifier* notifier) {
  app.protocol.totalRetryCount.store(0);
  app.protocol.transferActive.store(1);
  std::optional<std::string> caption = app.host.GetControlText(commandId);
  app.session.startTick = app.host.TickCount();
  app.session.savedCaption = caption ? caption->substr(0, SAVED_CAPTION_MAX) : std::string();
  app.session.notifier = notifier;
  app.session.startButton = commandId;
  app.host.SetControlText(commandId, "Stop Transfer");
}

bool ChooseOpenFile(App& app, std::string& name, const FileFilter& filter) {
  if (!app.host.ChooseOpenFile(name, filter, OPEN_INITIAL_DIR)) return false;
  if (name.size() > TRANSFER_NAME_MAX) name.resize(TRANSFER_NAME_MAX);
  return true;
}

bool ChooseSaveFile(App& app, std::string& name, const FileFilter& filter) {
  if (!app.host.ChooseSaveFile(name, filter)) return false;
  if (name.size() > TRANSFER_NAME_MAX) name.resize(TRANSFER_NAME_MAX);
  return true;
}

const FileFilter& FileTransferFilter() {
  static const FileFilter filter{{"ALL Files (*.*)", "*.*"}};
  return filter;
}

const FileFilter& NlecFilter() {
  static const FileFilter filter{{"NLEC Files (*.TXT)", "*.TXT"}, {"ALL Files (*.*)", "*.*"}};
  return filter;
}

void RunTransferCommand(App& app, int commandId) {
  switch (commandId) {
    case IDC_NLEC_SEND:
      // The NLEC send button doubles as the stop button of any transfer.
      if (app.protocol.transferActive.load() == 0) {
        StartNlecSend(app, commandId);
      } else {
        StopNlecTransfer(app);
      }
      break;
    case IDC_NLEC_GET:
      StartNlecGet(app, commandId);
      break;
    case IDC_SEND_BITMAP:
      StartFileSend(app, commandId, "Sending Bitmap File...");
      break;
    case IDC_RECEIVE_SETTINGS:
      StartFileReceive(app, commandId, "Receiving Settings File...");
      break;
    case IDC_SEND_SETTINGS:
      StartFileSend(app, commandId, "Sending Settings...");
      break;
    case IDC_RECEIVE_PROGRAM:
      RunProgramReceive(app);
      break;
    case IDC_SEND_PROGRAM:
      StartFileSend(app, commandId, "Sending Program File...");
      break;
    default:
      break;
  }
}

void StopNlecTransfer(App& app) {
  CloseNlecFile(app);
  app.protocol.transferActive.store(0);
  app.protocol.linkState.store(LINK_IDLE);
  app.host.SetControlText(IDC_NLEC_SEND, "Send NLEC");
  app.host.SetControlText(IDC_NLEC_GET, "Get NLEC");
  AddLogText(app, "Nlec transfer halted.");
  app.host.Beep();
  app.host.DestroyProgressStrip();
}

}  // namespace quillon
