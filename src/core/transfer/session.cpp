#include "core/transfer/session.h"

#include "core/app.h"
#include "core/app/event_log.h"

namespace quillon {

namespace {

// The three steps every report takes with its chosen text.
int Show(App& app, const std::string& caption, const std::string& text) {
  app.host.Beep();
  AddLogText(app, text);
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

}  // namespace

int FileResultNotifier::ReportRetryExceeded(App& app, const std::string& caption,
                                            const std::string&) {
  return Show(app, caption, "Binary Test transfer failure. Retry count exceeded.");
}
int FileResultNotifier::ReportComplete(App& app, const std::string& caption, const std::string&) {
  return Show(app, caption, FileSuccessText(app.session.kind));
}
int FileResultNotifier::ReportSuccess(App& app, const std::string& caption, const std::string&) {
  return Show(app, caption, FileSuccessText(app.session.kind));
}
int FileResultNotifier::ReportFailure(App& app, const std::string& caption, const std::string&) {
  return Show(app, caption, FileFailureText(app.session.kind));
}

int NlecResultNotifier::ReportRetryExceeded(App& app, const std::string& caption,
                                            const std::string&) {
  return Show(app, caption, "Nlec transfer failure. Retry count exceeded.");
}
int NlecResultNotifier::ReportComplete(App& app, const std::string& caption,
                                       const std::string& text) {
  return Show(app, caption, text);
}
int NlecResultNotifier::ReportSuccess(App& app, const std::string& caption,
                                      const std::string& text) {
  return Show(app, caption, text);
}
int NlecResultNotifier::ReportFailure(App& app, const std::string& caption,
                                      const std::string& text) {
  return Show(app, caption, text);
}

void RestoreStartButton(App& app) {
  if (app.session.startButton != 0) {
    app.host.SetControlText(app.session.startButton, app.session.savedCaption);
  }
}

int NotifyResult(App& app, Report which, const std::string& text) {
  ResultNotifier* notifier = app.session.notifier;
  const std::string& caption = app.session.messageCaption;
  if (notifier == nullptr) {
    // No start has chosen a notifier yet: the text is shown as it is.
    AddLogText(app, text);
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

int ReportResult(App& app, Report which, const std::string& text) {
  RestoreStartButton(app);
  app.host.Beep();
  return NotifyResult(app, which, text);
}

}  // namespace quillon
