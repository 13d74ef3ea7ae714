// The transfers as the dialog starts, stops and reports them.
#include "core/app/transfer_dialog.h"

#include <cstdio>
#include <utility>

#include "core/app/control_ids.h"
#include "core/app/downloads.h"
#include "core/log/event_log.h"

namespace quillon {

namespace {

constexpr size_t SAVED_CAPTION_MAX = 127;
// The open dialog starts in the program's own directory.
constexpr const char* OPEN_INITIAL_DIR = ".\\";

// The three steps every report takes with its chosen text.
int Show(App& app, const std::string& caption, const std::string& text) {
  app.host.Beep();
  app.engine.Log().Add(text);
  return app.host.ShowMessageBox(text, caption, MB_STYLE_OK, true);
}

const char* FileSuccessText(int kind) {
  switch (kind) {
    case FILE_KIND_BITMAP:
      return "Bitmap Transfer sucessfully completed.";
    case FILE_KIND_SETTINGS:
      return "Transfer of settings sucessfully completed.";
    case FILE_KIND_PROGRAM:
      return "Transfer of program sucessfully completed.";
    default:
      return "Binary Transfer sucessfully completed.";
  }
}

const char* FileFailureText(int kind) {
  switch (kind) {
    case FILE_KIND_BITMAP:
      return "Bitmap transfer failure.";
    case FILE_KIND_SETTINGS:
      return "Settings transfer failure.";
    case FILE_KIND_PROGRAM:
      return "Program transfer failure.";
    default:
      return "Binary Test transfer failure.";
  }
}

int KindOf(App& app) { return app.session.fileKind; }

FileKind KindOfCommand(int commandId) {
  switch (commandId) {
    case IDC_SEND_BITMAP:
      return FILE_KIND_BITMAP;
    case IDC_SEND_SETTINGS:
    case IDC_RECEIVE_SETTINGS:
      return FILE_KIND_SETTINGS;
    case IDC_SEND_PROGRAM:
    case IDC_RECEIVE_PROGRAM:
      return FILE_KIND_PROGRAM;
    default:
      return FILE_KIND_BINARY;
  }
}

// A start the engine refused for a reason of its own (not a cancel) is
// noted in the log, so the user is not left guessing.
bool Started(App& app, const StartResult& result) {
  if (!result) app.engine.Log().Add("Transfer not started: " + result.reason + ".");
  return result.started;
}

// The box an NLEC end shows, from how it ended.
std::string NlecEndText(const JobEnd& end) {
  char text[80] = "NLEC Transfer error.";
  if (end.outcome == Outcome::DONE) {
    std::snprintf(text, sizeof text, "NLEC Transfer completed in %d seconds.",
                  static_cast<int>(end.elapsedMs / 1000u));
  } else if (end.cause == Cause::CHECKSUM_MISMATCH) {
    return "Nlec Checksum Failure.";
  }
  return text;
}

}  // namespace

int FileResultNotifier::ReportRetryExceeded(App& app, const std::string& caption, const std::string&) {
  return Show(app, caption, "Binary Test transfer failure. Retry count exceeded.");
}
int FileResultNotifier::ReportComplete(App& app, const std::string& caption, const std::string&) {
  return Show(app, caption, FileSuccessText(KindOf(app)));
}
int FileResultNotifier::ReportSuccess(App& app, const std::string& caption, const std::string&) {
  return Show(app, caption, FileSuccessText(KindOf(app)));
}
int FileResultNotifier::ReportFailure(App& app, const std::string& caption, const std::string&) {
  return Show(app, caption, FileFailureText(KindOf(app)));
}

int NlecResultNotifier::ReportRetryExceeded(App& app, const std::string& caption, const std::string&) {
  return Show(app, caption, "Nlec transfer failure. Retry count exceeded.");
}
int NlecResultNotifier::ReportComplete(App& app, const std::string& caption, const std::string& text) {
  return Show(app, caption, text);
}
int NlecResultNotifier::ReportSuccess(App& app, const std::string& caption, const std::string& text) {
  return Show(app, caption, text);
}
int NlecResultNotifier::ReportFailure(App& app, const std::string& caption, const std::string& text) {
  return Show(app, caption, text);
}

void RestoreStartButton(App& app) {
  if (app.session.startButton != 0) {
    app.host.SetControlText(app.session.startButton, app.session.savedCaption);
  }
}

int ReportResult(App& app, Report which, const std::string& text) {
  RestoreStartButton(app);
  app.host.Beep();
  ResultNotifier* notifier = app.session.notifier;
  const std::string& caption = app.session.messageCaption;
  if (notifier == nullptr) {
    // No start has chosen a notifier yet: the text is shown as it is.
    app.engine.Log().Add(text);
    return app.host.ShowMessageBox(text, caption, MB_STYLE_OK, true);
  }
  switch (which) {
    case Report::RETRY_EXCEEDED:
      return notifier->ReportRetryExceeded(app, caption, text);
    case Report::COMPLETE:
      return notifier->ReportComplete(app, caption, text);
    case Report::SUCCESS:
      return notifier->ReportSuccess(app, caption, text);
    case Report::FAILURE:
      return notifier->ReportFailure(app, caption, text);
  }
  return 0;
}

void BeginTransfer(App& app, int commandId, ResultNotifier* notifier) {
  std::optional<std::string> caption = app.host.GetControlText(commandId);
  app.session.savedCaption = caption ? caption->substr(0, SAVED_CAPTION_MAX) : std::string();
  app.session.notifier = notifier;
  app.session.startButton = commandId;
  app.session.transferRunning = true;
  app.host.SetControlText(commandId, "Stop Transfer");
}

bool ChooseOpenFile(App& app, std::string& name, const FileFilter& filter) {
  return app.host.ChooseOpenFile(name, filter, OPEN_INITIAL_DIR);
}

bool ChooseSaveFile(App& app, std::string& name, const FileFilter& filter) {
  return app.host.ChooseSaveFile(name, filter);
}

const FileFilter& FileTransferFilter() {
  static const FileFilter filter{{"ALL Files (*.*)", "*.*"}};
  return filter;
}

const FileFilter& NlecFilter() {
  static const FileFilter filter{{"NLEC Files (*.TXT)", "*.TXT"}, {"ALL Files (*.*)", "*.*"}};
  return filter;
}

bool StartFileSend(App& app, int commandId, const char* logText) {
  const FileKind kind = KindOfCommand(commandId);
  app.engine.PrepareFileStart(kind);
  app.session.fileKind = kind;
  // The bitmap listing is chosen afresh each time; other files start from
  // the last path.
  std::string listing;
  std::string& path = kind == FILE_KIND_BITMAP ? listing : app.dataFileName;
  if (!ChooseOpenFile(app, path, FileTransferFilter())) return false;
  if (!Started(app, app.engine.StartFileSend(kind, path, logText))) return false;
  BeginTransfer(app, commandId, &app.session.fileNotifier);
  return true;
}

bool StartFileReceive(App& app, int commandId, const char* logText) {
  const FileKind kind = KindOfCommand(commandId);
  app.engine.PrepareFileStart(kind);
  app.session.fileKind = kind;
  if (!ChooseSaveFile(app, app.dataFileName, FileTransferFilter())) return false;
  if (!Started(app,
               app.engine.StartFileReceive(kind, app.dataFileName, app.programName, logText))) {
    return false;
  }
  BeginTransfer(app, commandId, &app.session.fileNotifier);
  return true;
}

void RunProgramReceive(App& app) {
  std::string typed;
  int result = app.host.RunProgramNamePrompt(typed);
  // The prompt empties the name as it opens; one that could not be shown
  // (-1) never opened, so the name stays as it was.
  if (result != -1) app.programName = typed;
  if (result == 1 && app.programName.empty()) result = 0;
  if (result == 0) return;
  StartFileReceive(app, IDC_RECEIVE_PROGRAM, "Receiving Program File...");
}

bool StartNlecSend(App& app, int commandId) {
  app.engine.PrepareNlecStart();
  if (!ChooseOpenFile(app, app.nlecFileName, NlecFilter())) return false;
  if (!Started(app, app.engine.StartNlecSend(app.nlecFileName))) return false;
  BeginTransfer(app, commandId, &app.session.nlecNotifier);
  return true;
}

bool StartNlecGet(App& app, int commandId) {
  app.engine.PrepareNlecStart();
  if (!ChooseSaveFile(app, app.nlecFileName, NlecFilter())) return false;
  if (!Started(app, app.engine.StartNlecGet(app.nlecFileName))) return false;
  BeginTransfer(app, commandId, &app.session.nlecNotifier);
  return true;
}

void StopNlecTransfer(App& app) { app.engine.StopTransfer(); }

void RunTransferCommand(App& app, int commandId) {
  switch (commandId) {
    case IDC_NLEC_SEND:
      // The NLEC send button doubles as the stop button of any transfer.
      if (!app.engine.TransferActive()) {
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

void RS232_CheckTimeouts(App& app) {
  if (!app.engine.TransferActive()) {
    app.host.SetControlText(IDC_STATUS_LINE, "");
    return;
  }
  uint32_t elapsed = app.host.TickCount() - app.engine.TransferStartTick();
  char status[96];
  std::snprintf(status, sizeof status, "Elapsed Time: %d   Retry Count: %d  ",
                static_cast<int>(elapsed / 1000), static_cast<int>(app.engine.RetryCount()));
  app.host.SetControlText(IDC_STATUS_LINE, status);
  app.engine.Tick();
}

void OnTransferEnd(App& app, const JobEnd& end) {
  const bool nlec = end.job == Job::NLEC_SEND || end.job == Job::NLEC_GET;
  // Every transfer end is its one report: what this dialog started has ended.
  const bool wasRunning = std::exchange(app.session.transferRunning, false);
  switch (end.cause) {
    case Cause::RETRY_EXCEEDED:
      ReportResult(app, Report::RETRY_EXCEEDED, "Retry Error.");
      return;
    case Cause::READOUT_ERROR:
      if (wasRunning) app.host.Beep();
      ReportResult(app, Report::FAILURE, "Transfer error.");
      return;
    case Cause::NLEC_ERROR:
      // The engine has ended the session, as the stop command does.
    case Cause::STOPPED:
      app.host.SetControlText(IDC_NLEC_SEND, "Send NLEC");
      app.host.SetControlText(IDC_NLEC_GET, "Get NLEC");
      app.host.Beep();
      return;
    case Cause::PORT_LOST:
      ReportResult(app, Report::FAILURE, Sentence(end.reason));
      return;
    default:
      break;
  }
  if (nlec) {
    // An NLEC end has its own box, not the notifier's.
    RestoreStartButton(app);
    app.host.Beep();
    app.host.ShowMessageBox(NlecEndText(end), app.session.messageCaption, MB_STYLE_OK, true);
  } else if (end.job == Job::FILE_RECEIVE) {
    ReportResult(app, end.outcome == Outcome::DONE ? Report::COMPLETE : Report::FAILURE,
                 end.outcome == Outcome::DONE ? "Transfer complete." : "Transfer error.");
  } else {
    ReportResult(app, end.outcome == Outcome::DONE ? Report::SUCCESS : Report::FAILURE,
                 end.outcome == Outcome::DONE ? "Transfer complete." : "Transfer error.");
  }
}

void App::OnProgress(const ProgressEvent& event) {
  switch (event.kind) {
    case ProgressEvent::CREATE:
      host.CreateProgressStrip(event.value, event.form32);
      break;
    case ProgressEvent::SET:
      host.SetProgressPosition(event.value);
      break;
    case ProgressEvent::ADVANCE:
      host.AdvanceProgressStrip(event.value);
      break;
    case ProgressEvent::DESTROY:
      host.DestroyProgressStrip();
      break;
  }
}

void App::OnJobEnd(const JobEnd& end) {
  if (end.job == Job::DOWNLOAD || end.job == Job::ERASE) {
    OnBootEnd(*this, end);
  } else {
    OnTransferEnd(*this, end);
  }
}

void App::OnFlashEraseResult(const std::string& text) {
  host.ShowMessageBox(text == "0" ? std::string("Flash erase successful.") : "Flash erase failure: " + text,
                      APP_TITLE, MB_STYLE_OK, true);
}

}  // namespace quillon
