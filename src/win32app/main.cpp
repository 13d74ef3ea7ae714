// QuillonDownload.exe: the entry point, the main dialog procedure that
// turns window messages into the core's handlers, and the service panel.
#include <windows.h>
// commctrl.h needs windows.h first.
#include <commctrl.h>

#include <memory>

#include "core/app/app.h"
#include "core/app/guide.h"
#include "core/app/main_dialog.h"
#include "core/engine/image_source.h"
#include "platform/win32/dialog_host/win32_host.h"
#include "platform/win32/win32_serial.h"
#include "resource.h"
#include "resources/image_info.h"

namespace {

using quillon::App;
using quillon::win32::Win32Host;

// The one run of the program, handed to the dialogs as their init parameter
// and kept in their user data.
struct Program {
  App& app;
  Win32Host& host;
  HINSTANCE instance;
};

Program* ProgramOf(HWND dialog) {
  return reinterpret_cast<Program*>(GetWindowLongPtrA(dialog, DWLP_USER));
}

// The firmware images as resources of type "EMBEDDED_FILE" in this module.
// The size is given as soon as it is known, so the error of a later step
// can still show it. Resource data lives as long as the module.
class ResourceImageSource : public quillon::ImageSource {
 public:
  quillon::ImageLookup Lookup(const std::string& name, const uint8_t** data,
                              size_t* size) override {
    using quillon::ImageLookup;
    HRSRC found = FindResourceA(nullptr, name.c_str(), "EMBEDDED_FILE");
    if (!found) return ImageLookup::NOT_FOUND;
    DWORD bytes = SizeofResource(nullptr, found);
    *size = bytes;
    if (bytes == 0) return ImageLookup::EMPTY;
    HGLOBAL loaded = LoadResource(nullptr, found);
    if (!loaded) return ImageLookup::CANNOT_LOAD;
    const void* locked = LockResource(loaded);
    if (!locked) return ImageLookup::CANNOT_LOCK;
    *data = static_cast<const uint8_t*>(locked);
    return ImageLookup::FOUND;
  }
};

bool IsPanelButton(int id) {
  return Win32Host::IsPanelControl(id) && id != IDC_PORT_NUMBER && id != IDC_EVENT_LOG &&
         id != IDC_STATUS_LINE;
}

// The service panel: the event log and the maintenance commands. Its
// buttons do nothing themselves; they hand their identifier to the main
// dialog exactly as the commands have always arrived there. Posted, not
// sent: the command then runs from the main loop, not from inside the
// button's click or the panel's keyboard handling.
INT_PTR CALLBACK ServicePanelProc(HWND panel, UINT message, WPARAM wParam, LPARAM lParam) {
  Program* program = ProgramOf(panel);
  switch (message) {
    case WM_INITDIALOG:
      SetWindowLongPtrA(panel, DWLP_USER, lParam);
      return TRUE;
    case WM_COMMAND: {
      int id = LOWORD(wParam);
      if (id == IDCANCEL) {
        DestroyWindow(panel);
      } else if (IsPanelButton(id) && HIWORD(wParam) == BN_CLICKED && program) {
        PostMessageA(program->host.Dialog(), WM_COMMAND, MAKEWPARAM(id, 0), 0);
      }
      return TRUE;
    }
    case WM_CLOSE:
      DestroyWindow(panel);
      return TRUE;
    case WM_DESTROY:
      if (program) program->host.AttachServicePanel(nullptr);
      return FALSE;
    default:
      return FALSE;
  }
}

void OpenServicePanel(Program& program, HWND dialog) {
  if (HWND panel = program.host.ServicePanel()) {
    ShowWindow(panel, SW_SHOW);
    SetForegroundWindow(panel);
    return;
  }
  HWND panel = CreateDialogParamA(program.instance, MAKEINTRESOURCEA(IDD_SERVICE), dialog,
                                  ServicePanelProc, reinterpret_cast<LPARAM>(&program));
  if (!panel) return;
  program.host.AttachServicePanel(panel);
  ShowWindow(panel, SW_SHOW);
}

// A dialog has no class icon of its own: the title bar and the taskbar take
// the program's icon only when it is set on the window, in both sizes.
void SetIcons(HINSTANCE instance, HWND dialog) {
  const struct {
    WPARAM which;
    int width, height;
  } kSizes[] = {{ICON_BIG, SM_CXICON, SM_CYICON}, {ICON_SMALL, SM_CXSMICON, SM_CYSMICON}};
  for (const auto& size : kSizes) {
    HANDLE icon = LoadImageA(instance, MAKEINTRESOURCEA(IDI_QUILLON), IMAGE_ICON,
                             GetSystemMetrics(size.width), GetSystemMetrics(size.height), 0);
    if (icon) SendMessageA(dialog, WM_SETICON, size.which, reinterpret_cast<LPARAM>(icon));
  }
}

INT_PTR CALLBACK MainDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_INITDIALOG) {
    SetWindowLongPtrA(dialog, DWLP_USER, lParam);
    Program& program = *reinterpret_cast<Program*>(lParam);
    program.host.AttachDialog(dialog);
    SetWindowTextA(dialog, quillon::APP_TITLE);
    SetIcons(program.instance, dialog);
    if (HMENU menu = GetSystemMenu(dialog, FALSE)) {
      AppendMenuA(menu, MF_SEPARATOR, 0, nullptr);
      AppendMenuA(menu, MF_STRING, IDM_SERVICE_TOOLS, "Service Tools...");
    }
    SetTimer(dialog, 1, 100, nullptr);
    quillon::OnInitDialog(program.app);
    return FALSE;
  }
  Program* program = ProgramOf(dialog);
  if (!program) return FALSE;  // messages before WM_INITDIALOG
  App& app = program->app;
  Win32Host& host = program->host;
  switch (message) {
    case WM_PAINT: {
      PAINTSTRUCT paint;
      HDC dc = BeginPaint(dialog, &paint);
      host.SetPaintDc(dc);
      quillon::RenderGuidePage(app);
      host.SetPaintDc(nullptr);
      EndPaint(dialog, &paint);
      return FALSE;
    }
    case WM_COMMAND:
      // A command that comes while a box of the program is open (a panel
      // click, a queued key) would run inside the operation that opened it.
      if (!host.InModal()) quillon::OnCommand(app, LOWORD(wParam));
      return FALSE;
    case WM_TIMER:
      host.DeliverPending();
      quillon::OnTimer(app);
      return FALSE;
    case WM_SIZE:
      if (wParam == SIZE_RESTORED || wParam == SIZE_MAXIMIZED)
        host.ResizeList(LOWORD(lParam), HIWORD(lParam));
      return FALSE;
    case WM_SYSCOMMAND:
      if ((wParam & 0xFFF0) == IDM_SERVICE_TOOLS) {
        if (!host.InModal()) OpenServicePanel(*program, dialog);
        SetWindowLongPtrA(dialog, DWLP_MSGRESULT, 0);
        return TRUE;
      }
      return FALSE;
    case WM_CLOSE:  // the close box, Alt+F4, the system menu's Close
      if (!host.InModal()) quillon::RequestClose(app);
      return FALSE;
    case WM_DESTROY:
      quillon::OnDestroy(app);
      return FALSE;
    default:
      host.HandlePrivateMessage(message);
      return FALSE;
  }
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR commandLine, int) {
  INITCOMMONCONTROLSEX controls{};
  controls.dwSize = sizeof controls;
  controls.dwICC = ICC_PROGRESS_CLASS;
  InitCommonControlsEx(&controls);

  Win32Host host(instance);
  quillon::win32::Win32SerialFactory serial;
  ResourceImageSource images;
  App app(host, serial, &images);
  app.isPlaceholder = quillon::EmbeddedImageIsPlaceholder;
  host.SetLogSource(
      [&app](uint64_t from, uint64_t* dropped) { return app.engine.Log().Lines(from, dropped); });
  host.SetMessageHandler(
      [&app](quillon::UiMessage message) { app.engine.Dispatch(std::move(message)); });

  quillon::ParseCommandLine(app, commandLine ? commandLine : "");
  Program program{app, host, instance};
  INT_PTR result = DialogBoxParamA(instance, MAKEINTRESOURCEA(IDD_MAIN), nullptr, MainDialogProc,
                                   reinterpret_cast<LPARAM>(&program));
  return static_cast<int>(result);
}
