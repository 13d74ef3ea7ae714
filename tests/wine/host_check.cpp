// Checks the dialog host on real windows (under Wine or Windows): controls
// by identifier, the progress strip from the UI thread and from a worker,
// the event-log list fed from another thread, the system's error texts,
// temporary files and the registry port-name rules.
//
//   host_check.exe
#include <windows.h>
#include <commctrl.h>
#undef MessageBox

#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/protocol/parser.h"
#include "platform/win32/win32_host.h"

using quillon::win32::IsBridgeHardwareId;
using quillon::win32::PortNumberFromName;
using quillon::win32::Win32Host;

namespace {

int g_failures = 0;

void Check(bool ok, const std::string& what) {
  std::printf("%s %s\n", ok ? "ok  " : "FAIL", what.c_str());
  std::fflush(stdout);
  if (!ok) ++g_failures;
}

Win32Host* g_host = nullptr;

LRESULT CALLBACK FrameProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (g_host && g_host->HandlePrivateMessage(message, wParam, lParam)) return 0;
  return DefWindowProcA(window, message, wParam, lParam);
}

// Handles what is queued for the window's thread.
void Pump() {
  MSG message;
  while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&message);
    DispatchMessageA(&message);
  }
}

HWND FindStrip(HWND parent) {
  return FindWindowExA(parent, nullptr, PROGRESS_CLASSA, nullptr);
}

}  // namespace

int main() {
  Check(PortNumberFromName("COM3") == 3 && PortNumberFromName("COM12") == 12 &&
            PortNumberFromName("USB4") == 4,
        "port names: the first three characters are skipped, then the number read");
  Check(PortNumberFromName("COM") == 0 && PortNumberFromName("CO") == 0 && PortNumberFromName("") == 0 &&
            PortNumberFromName("COMx") == 0 && PortNumberFromName(nullptr) == 0,
        "a name too short or without digits gives 0, never a read past its end");
  Check(IsBridgeHardwareId("USB\\VID_10C4&PID_EA60&REV_0100") &&
            IsBridgeHardwareId("usb\\vid_10c4&pid_ea60&mi_00") && !IsBridgeHardwareId("USB\\VID_0403&PID_6001"),
        "the bridge is known by its vendor and product id in any case");

  INITCOMMONCONTROLSEX controls{sizeof controls, ICC_PROGRESS_CLASS};
  InitCommonControlsEx(&controls);
  HINSTANCE instance = GetModuleHandleA(nullptr);
  WNDCLASSA frameClass{};
  frameClass.lpfnWndProc = FrameProc;
  frameClass.hInstance = instance;
  frameClass.lpszClassName = "QuillonHostCheck";
  RegisterClassA(&frameClass);

  Win32Host host(instance);
  g_host = &host;

  Check(!host.GetControlText(1027).has_value() && !host.IsControlEnabled(1016),
        "before the dialog exists, no control is found");
  host.SetControlText(1027, "ignored");  // must simply do nothing

  HWND frame = CreateWindowExA(0, "QuillonHostCheck", "host check", WS_OVERLAPPEDWINDOW, 0, 0, 400, 300,
                               nullptr, nullptr, instance, nullptr);
  HWND title = CreateWindowExA(0, "STATIC", "", WS_CHILD | WS_VISIBLE, 10, 10, 200, 20, frame,
                               reinterpret_cast<HMENU>(1027), instance, nullptr);
  HWND next = CreateWindowExA(0, "BUTTON", "Next", WS_CHILD | WS_VISIBLE, 10, 40, 80, 20, frame,
                              reinterpret_cast<HMENU>(1016), instance, nullptr);
  Check(frame && title && next, "test windows created");
  host.AttachDialog(frame);

  host.SetControlText(1027, "STEP 1 - Connecting the USB Cable");
  Check(host.GetControlText(1027) == std::string("STEP 1 - Connecting the USB Cable"), "sets and reads a text");
  host.EnableControl(1016, false);
  Check(!host.IsControlEnabled(1016) && !IsWindowEnabled(next), "disables a button");
  host.EnableControl(1016, true);
  host.ShowControl(1016, false);
  Check(host.IsControlEnabled(1016) && !(GetWindowLongA(next, GWL_STYLE) & WS_VISIBLE), "enables and hides");
  Check(!host.GetControlText(1999).has_value(), "a control the layout lacks reads as absent");
  host.SetControlText(1008, "status");  // a service-panel control with the panel closed
  Check(!host.GetControlText(1008).has_value(), "panel controls are absent while the panel is closed");

  // Changes asked for by a worker wait for the dialog's thread, in order.
  std::thread changer([&] {
    host.SetControlText(1027, "from a worker");
    host.EnableControl(1016, false);
    host.ShowControl(1016, true);
  });
  changer.join();
  Check(host.GetControlText(1027) == std::string("STEP 1 - Connecting the USB Cable") && IsWindowEnabled(next),
        "a worker's control changes are not made on the worker");
  Pump();
  Check(host.GetControlText(1027) == std::string("from a worker") && !IsWindowEnabled(next) &&
            (GetWindowLongA(next, GWL_STYLE) & WS_VISIBLE),
        "they are made once the dialog's thread runs");
  host.EnableControl(1016, true);

  // The progress strip, from the dialog's thread.
  host.CreateProgressStrip(70000, false);
  HWND strip = FindStrip(frame);
  Check(strip != nullptr, "creates the strip as a child of the dialog");
  if (strip) {
    PBRANGE range{};
    SendMessageA(strip, PBM_GETRANGE, FALSE, reinterpret_cast<LPARAM>(&range));
    Check(range.iLow == 0 && range.iHigh == (70000 & 0xFFFF), "the 16-bit form keeps the maximum's low 16 bits");
    RECT client{}, place{};
    GetClientRect(frame, &client);
    GetWindowRect(strip, &place);
    MapWindowPoints(nullptr, frame, reinterpret_cast<POINT*>(&place), 2);
    Check(place.left == 10 && place.top == client.bottom - 10 && place.right - place.left == client.right - 20 &&
              place.bottom - place.top == 10,
          "a 10-pixel bar along the bottom edge with 10-pixel margins");
    host.SetProgressPosition(100);
    host.AdvanceProgressStrip(25);
    host.AdvanceProgressStrip(25);
    Check(SendMessageA(strip, PBM_GETPOS, 0, 0) == 150, "set position, then advance by n twice");
  }
  host.DestroyProgressStrip();
  Check(FindStrip(frame) == nullptr, "destroys the strip");
  host.DestroyProgressStrip();  // again: nothing happens

  // The same from a worker: the calls are carried out on the dialog's thread.
  std::thread worker([&] {
    host.CreateProgressStrip(5000000, true);
    for (int i = 0; i < 10; ++i) host.AdvanceProgressStrip(1000);
  });
  worker.join();
  Check(FindStrip(frame) == nullptr, "a worker's strip waits for the dialog's thread");
  Pump();
  strip = FindStrip(frame);
  Check(strip != nullptr && GetWindowThreadProcessId(strip, nullptr) == GetCurrentThreadId(),
        "then it is created by the dialog's thread");
  if (strip) {
    Check(SendMessageA(strip, PBM_GETRANGE, FALSE, 0) == 5000000, "the 32-bit form keeps the whole maximum");
    Check(SendMessageA(strip, PBM_GETPOS, 0, 0) == 10000, "every advance from the worker arrives, in order");
  }
  host.DestroyProgressStrip();

  // The event log: lines live in a list the host refills from its source.
  std::vector<std::string> lines;
  std::mutex linesMutex;
  host.SetLogSource([&] {
    std::lock_guard<std::mutex> lock(linesMutex);
    return lines;
  });
  auto add = [&](const std::string& line) {
    {
      std::lock_guard<std::mutex> lock(linesMutex);
      lines.push_back(line);
    }
    host.OnLogLineAdded(line);
  };
  add("before the panel");
  HWND panel = CreateWindowExA(0, "QuillonHostCheck", "panel", WS_OVERLAPPEDWINDOW, 0, 0, 300, 300, nullptr,
                               nullptr, instance, nullptr);
  HWND list = CreateWindowExA(0, "LISTBOX", "", WS_CHILD | WS_VISIBLE | LBS_EXTENDEDSEL, 0, 0, 280, 200, panel,
                              reinterpret_cast<HMENU>(1002), instance, nullptr);
  CreateWindowExA(0, "EDIT", "", WS_CHILD | WS_VISIBLE, 0, 210, 80, 20, panel, reinterpret_cast<HMENU>(1000),
                  instance, nullptr);
  host.SetControlText(1000, "7");
  host.AttachServicePanel(panel);
  Check(SendMessageA(list, LB_GETCOUNT, 0, 0) == 1, "opening the panel shows the lines logged before");
  Check(host.GetControlText(1000) == std::string("7"), "the panel shows the port number set before it opened");
  std::thread logger([&] {
    for (int i = 0; i < 200; ++i) add("worker line " + std::to_string(i) + " 100%");
  });
  logger.join();  // a worker never waits for the dialog's thread
  Pump();
  char text[256] = {};
  SendMessageA(list, LB_GETTEXT, 200, reinterpret_cast<LPARAM>(text));
  Check(SendMessageA(list, LB_GETCOUNT, 0, 0) == 201 && std::string(text) == "worker line 199 100%",
        "200 lines from a worker all arrive, in order, unchanged");
  SendMessageA(list, LB_SETSEL, TRUE, 3);
  SendMessageA(list, LB_SETSEL, TRUE, 5);
  Check(host.IsLogLineSelected(3) && host.IsLogLineSelected(5) && !host.IsLogLineSelected(4),
        "reports the selected lines");
  {
    std::lock_guard<std::mutex> lock(linesMutex);
    lines.clear();
  }
  host.OnLogCleared();
  Check(SendMessageA(list, LB_GETCOUNT, 0, 0) == 0, "clearing empties the list");
  DestroyWindow(panel);
  host.AttachServicePanel(nullptr);
  Check(!host.GetControlText(1000).has_value(), "with the panel gone its controls are absent again");

  // Posting: the message arrives on the dialog's thread as a heap record.
  quillon::UiMessage message{quillon::UiMessage::COMMAND, nullptr, true, 1004};
  std::thread poster([&] { host.Post(std::move(message)); });
  poster.join();
  MSG posted{};
  bool got = PeekMessageA(&posted, frame, quillon::win32::WM_APP_UI_MESSAGE, quillon::win32::WM_APP_UI_MESSAGE,
                          PM_REMOVE) != FALSE;
  std::unique_ptr<quillon::UiMessage> record(reinterpret_cast<quillon::UiMessage*>(got ? posted.lParam : 0));
  Check(record && record->kind == quillon::UiMessage::COMMAND && record->command == 1004,
        "a posted command reaches the dialog's queue");

  std::string fileNotFound = host.SystemErrorText(ERROR_FILE_NOT_FOUND);
  Check(!fileNotFound.empty(), "the system's text for an error code: " + fileNotFound.substr(0, fileNotFound.find('\r')));
  std::string first, second;
  bool made = host.CreateTempFile("qcl", first) && host.CreateTempFile("qcl", second);
  WIN32_FILE_ATTRIBUTE_DATA info{};
  Check(made && first != second && first.find("qcl") != std::string::npos &&
            GetFileAttributesExA(first.c_str(), GetFileExInfoStandard, &info) && info.nFileSizeLow == 0,
        "temporary files are new, empty and distinct");
  DeleteFileA(first.c_str());
  DeleteFileA(second.c_str());

  DestroyWindow(frame);
  std::printf("%d failure(s)\n", g_failures);
  return g_failures == 0 ? 0 : 1;
}
