// QuillonDownload.exe: the entry point, the main dialog procedure that
// turns window messages into the core's handlers, and the service panel.
#include <windows.h>
#include <commctrl.h>

#include <memory>

#include "core/app/app.h"
#include "core/app/guide.h"
#include "core/app/main_dialog.h"
#include "core/boot/image_download.h"
#include "platform/win32/win32_host.h"
#include "platform/win32/win32_serial.h"
#include "resource.h"

namespace {

using quillon::App;
using quillon::win32::Win32Host;

// The one run of the program; set by WinMain before the dialog exists.
App* g_app = nullptr;
Win32Host* g_host = nullptr;
HINSTANCE g_instance = nullptr;

// The firmware images as resources of type "EMBEDDED_FILE" in this module.
class ResourceImageSource : public quillon::ImageSource {
 public:
  int Lookup(const std::string& name, const uint8_t** data, size_t* size) override {
    HRSRC found = FindResourceA(nullptr, name.c_str(), "EMBEDDED_FILE");
    if (!found) return 1;
    DWORD bytes = SizeofResource(nullptr, found);
    if (bytes == 0) return 2;
    HGLOBAL loaded = LoadResource(nullptr, found);
    if (!loaded) return 3;
    const void* locked = LockResource(loaded);
    if (!locked) return 4;
    *data = static_cast<const uint8_t*>(locked);
    *size = bytes;
    return 0;
  }
};

bool IsPanelButton(int id) {
  return Win32Host::IsPanelControl(id) && id != IDC_PORT_NUMBER && id != IDC_EVENT_LOG &&
         id != IDC_STATUS_LINE;
}

// The service panel: the event log and the maintenance commands. Its
// buttons do nothing themselves; they hand their identifier to the main
// dialog exactly as the commands have always arrived there.
INT_PTR CALLBACK ServicePanelProc(HWND panel, UINT message, WPARAM wParam, LPARAM) {
  switch (message) {
    case WM_INITDIALOG:
      return TRUE;
    case WM_COMMAND: {
      int id = LOWORD(wParam);
      if (id == IDCANCEL) {
        DestroyWindow(panel);
      } else if (IsPanelButton(id) && HIWORD(wParam) == BN_CLICKED && g_host && g_host->Dialog()) {
        SendMessageA(g_host->Dialog(), WM_COMMAND, MAKEWPARAM(id, 0), 0);
      }
      return TRUE;
    }
    case WM_CLOSE:
      DestroyWindow(panel);
      return TRUE;
    case WM_DESTROY:
      if (g_host) g_host->AttachServicePanel(nullptr);
      return FALSE;
    default:
      return FALSE;
  }
}

void OpenServicePanel(HWND dialog) {
  if (HWND panel = g_host->ServicePanel()) {
    ShowWindow(panel, SW_SHOW);
    SetForegroundWindow(panel);
    return;
  }
  HWND panel = CreateDialogParamA(g_instance, MAKEINTRESOURCEA(IDD_SERVICE), dialog, ServicePanelProc, 0);
  if (!panel) return;
  g_host->AttachServicePanel(panel);
  ShowWindow(panel, SW_SHOW);
}

INT_PTR CALLBACK MainDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  App& app = *g_app;
  switch (message) {
    case WM_INITDIALOG: {
      g_host->AttachDialog(dialog);
      SetWindowTextA(dialog, quillon::APP_TITLE);
      if (HMENU menu = GetSystemMenu(dialog, FALSE)) {
        AppendMenuA(menu, MF_SEPARATOR, 0, nullptr);
        AppendMenuA(menu, MF_STRING, IDM_SERVICE_TOOLS, "Service Tools...");
      }
      SetTimer(dialog, 1, 100, nullptr);
      quillon::OnInitDialog(app);
      return FALSE;
    }
    case WM_PAINT: {
      PAINTSTRUCT paint;
      HDC dc = BeginPaint(dialog, &paint);
      g_host->SetPaintDc(dc);
      quillon::RenderGuidePage(app);
      g_host->SetPaintDc(nullptr);
      EndPaint(dialog, &paint);
      return FALSE;
    }
    case WM_COMMAND:
      quillon::OnCommand(app, LOWORD(wParam));
      return FALSE;
    case WM_TIMER:
      quillon::OnTimer(app);
      return FALSE;
    case WM_SIZE:
      if (wParam == SIZE_RESTORED || wParam == SIZE_MAXIMIZED) {
        g_host->ResizeList(LOWORD(lParam), HIWORD(lParam));
      }
      return FALSE;
    case WM_SYSCOMMAND:
      if ((wParam & 0xFFF0) == IDM_SERVICE_TOOLS) {
        OpenServicePanel(dialog);
        SetWindowLongPtrA(dialog, DWLP_MSGRESULT, 0);
        return TRUE;
      }
      return FALSE;
    case WM_CLOSE:
      EndDialog(dialog, 0);
      return FALSE;
    case WM_DESTROY:
      quillon::OnDestroy(app);
      return FALSE;
    case quillon::win32::WM_APP_UI_MESSAGE: {
      std::unique_ptr<quillon::UiMessage> posted(reinterpret_cast<quillon::UiMessage*>(lParam));
      if (posted) quillon::DispatchUiMessage(app, std::move(*posted));
      return FALSE;
    }
    default:
      g_host->HandlePrivateMessage(message, wParam, lParam);
      return FALSE;
  }
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR commandLine, int) {
  g_instance = instance;
  INITCOMMONCONTROLSEX controls{};
  controls.dwSize = sizeof controls;
  controls.dwICC = ICC_PROGRESS_CLASS;
  InitCommonControlsEx(&controls);

  Win32Host host(instance);
  quillon::win32::Win32SerialFactory serial;
  ResourceImageSource images;
  App app(host, serial, &images);
  host.SetLogSource([&app] { return app.engine.Log().Lines(); });
  g_app = &app;
  g_host = &host;

  quillon::ParseCommandLine(app, commandLine ? commandLine : "");
  INT_PTR result = DialogBoxParamA(instance, MAKEINTRESOURCEA(IDD_MAIN), nullptr, MainDialogProc, 0);
  g_app = nullptr;
  g_host = nullptr;
  return static_cast<int>(result);
}
