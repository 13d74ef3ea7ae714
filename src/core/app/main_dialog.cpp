// The main dialog: start-up, the command table, the timer and shutdown.
#include "core/app/main_dialog.h"

#include <cctype>
#include <cstdlib>

#include "core/app/downloads.h"
#include "core/app/log_commands.h"
#include "core/app/guide.h"
#include "core/app/indicator.h"
#include "core/app/port_selection.h"
#include "core/app/transfer_dialog.h"

namespace quillon {

void ParseCommandLine(App& app, std::string commandLine) {
  for (char& c : commandLine) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  size_t at = commandLine.find("com");
  if (at == std::string::npos) return;
  // strtol: leading white space, an optional sign, digits; none gives 0.
  app.portSelection.number = static_cast<int>(std::strtol(commandLine.c_str() + at + 3, nullptr, 10));
  app.portSelection.mode = PORT_MODE_COMMAND_LINE;
}

void OnInitDialog(App& app) {
  app.host.SetControlText(IDC_STATUS_LINE, "");
  unsigned number = ResolvePortNumber(app);
  app.host.SetControlText(IDC_PORT_NUMBER, std::to_string(number));
  app.guide.page = PAGE_CABLE;
  RenderGuidePage(app);
}

namespace {

bool Confirm(App& app, const char* question) {
  return app.host.ShowMessageBox(question, APP_TITLE, MB_STYLE_ICONQUESTION | MB_STYLE_YESNO,
                                 true) == ANSWER_YES;
}

}  // namespace

void RequestClose(App& app) {
  // Ending now would stop the worker mid-stream and leave the readout with
  // part of an image (or a half-erased store); a stray click must not.
  if (!app.engine.BootIdle()) {
    const char* question =
        app.bootJob == Job::ERASE
            ? "The flash erase is not finished.  Closing now may leave the readout's user storage "
              "partly erased.  Close anyway?"
            : "The download is not finished.  Closing now leaves the readout with a partial image; "
              "it must be loaded again.  Close anyway?";
    const unsigned style = MB_STYLE_ICONQUESTION | MB_STYLE_YESNO | MB_STYLE_DEFBUTTON2;
    if (app.host.ShowMessageBox(question, APP_TITLE, style, true) != ANSWER_YES) return;
  }
  app.host.EndDialog(0);
}

void OnCommand(App& app, int id) {
  switch (id) {
    case IDC_CANCEL:
    case IDC_CLOSE:
      RequestClose(app);
      break;
    case IDC_CLEAR_LOG:
      ClearLog(app);
      break;
    case IDC_TEST:
      app.engine.StartTest();
      break;
    case IDC_RAW_LOGGING:
      app.engine.SetRawLogging(!app.engine.RawLogging());
      break;
    case IDC_EXPORT_ALL:
      ExportLog(app, false);
      break;
    case IDC_EXPORT_SELECTED:
      ExportLog(app, true);
      break;
    case IDC_FLASH_ERASE:
      if (Confirm(app, "Are you sure you want to erase the flash?")) StartFlashErase(app);
      break;
    case IDC_IMAGE_DOWNLOAD:
      StartImageDownload(app, 38400);
      break;
    case IDC_NEXT:
      GuideNext(app);
      break;
    case IDC_BACK:
      GuideBack(app);
      break;
    case IDC_BOOTLOADER_DOWNLOAD:
      if (Confirm(app, "Are you sure you want to download the bootloader code?")) {
        StartBootloaderDownload(app);
      }
      break;
    case IDC_NLEC_SEND:
    case IDC_NLEC_GET:
    case IDC_SEND_BITMAP:
    case IDC_RECEIVE_SETTINGS:
    case IDC_SEND_SETTINGS:
    case IDC_RECEIVE_PROGRAM:
    case IDC_SEND_PROGRAM:
      RunTransferCommand(app, id);
      break;
    default:
      break;
  }
}

void OnTimer(App& app) {
  UpdateConnectionIndicator(app);
  RS232_CheckTimeouts(app);
}

void OnDestroy(App& app) { app.engine.Shutdown(); }

}  // namespace quillon
