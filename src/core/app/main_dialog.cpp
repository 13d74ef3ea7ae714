#include "core/app/main_dialog.h"

#include <cctype>
#include <cstdlib>

#include "core/app.h"
#include "core/app/event_log.h"
#include "core/app/guide.h"
#include "core/app/indicator.h"
#include "core/app/port_selection.h"
#include "core/boot/flash_erase.h"
#include "core/boot/image_download.h"
#include "core/protocol/dispatcher.h"
#include "core/protocol/parser.h"
#include "core/serial/receive_thread.h"
#include "core/serial/serial_port.h"
#include "core/transfer/transfer_control.h"

namespace quillon {

void ParseCommandLine(App& app, std::string commandLine) {
  for (char& c : commandLine) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  size_t at = commandLine.find("com");
  if (at == std::string::npos) return;
  // strtol: leading white space, an optional sign, digits; none gives 0.
  app.portSelection.number =
      static_cast<int>(std::strtol(commandLine.c_str() + at + 3, nullptr, 10));
  app.portSelection.mode = PORT_MODE_COMMAND_LINE;
}

void OnInitDialog(App& app) {
  app.host.SetControlText(IDC_STATUS_LINE, "");
  StartReceiveThread(app);
  unsigned number = ResolvePortNumber(app);
  app.host.SetControlText(IDC_PORT_NUMBER, std::to_string(number));
  app.guide.page = PAGE_CABLE;
  RenderGuidePage(app);
}

namespace {

bool Confirm(App& app, const char* question) {
  return app.host.ShowMessageBox(question, APP_TITLE, MB_STYLE_ICONQUESTION | MB_STYLE_YESNO, true) ==
         ANSWER_YES;
}

}  // namespace

void OnCommand(App& app, int id) {
  switch (id) {
    case IDC_CANCEL:
    case IDC_CLOSE:
      app.host.EndDialog(0);
      break;
    case IDC_CLEAR_LOG:
      ClearLog(app);
      break;
    case IDC_TEST:
      SendTestPacket(app);
      break;
    case IDC_RAW_LOGGING: {
      int expected = app.receiver.rawLogging.load();
      app.receiver.rawLogging.store(expected == 0 ? 1 : 0);
      break;
    }
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

void OnPacketReceived(App& app, std::unique_ptr<ReceivedPacket> packet) {
  RS232_DispatchPacket(app, std::move(packet));
}

void OnBootDone(App& app, bool success) {
  JoinBootWorker(app);
  app.host.DestroyProgressStrip();
  app.host.Beep();
  if (!success) {
    // The worker has logged why; the guide stays where it is so the user can
    // go back and try again, rather than being told the download completed.
    app.host.ShowMessageBox(
        "The download did not complete.  Check the cable and the readout, then try again.",
        APP_TITLE, MB_STYLE_ICONWARNING, true);
    if (app.guide.page == PAGE_IN_PROGRESS) {
      app.guide.page = PAGE_INSTRUCTIONS;
      // Page 5 hid both buttons and page 4 leaves their shown state alone.
      app.host.ShowControl(IDC_NEXT, true);
      app.host.ShowControl(IDC_BACK, true);
      app.host.Invalidate(true);
    }
    return;
  }
  app.guide.page = PAGE_COMPLETE;
  app.host.Invalidate(false);
}

void OnDestroy(App& app) {
  StopReceiveThread(app);
  auto port = app.link.Exchange(nullptr);
  if (port) port->Close();
  JoinBootWorker(app);
  CloseTransferFiles(app);
}

void DispatchUiMessage(App& app, UiMessage message) {
  switch (message.kind) {
    case UiMessage::PACKET_RECEIVED:
      if (message.packet) OnPacketReceived(app, std::move(message.packet));
      break;
    case UiMessage::BOOT_DONE:
      OnBootDone(app, message.success);
      break;
    case UiMessage::COMMAND:
      OnCommand(app, message.command);
      break;
    case UiMessage::PORT_LOST:
      break;
  }
}

}  // namespace quillon
