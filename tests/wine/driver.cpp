// Works QuillonDownload.exe under Wine as a technician would: finds its
// windows by caption, clicks, types, reads texts, answers boxes, compares
// what reached the far end of the line, photographs each page. run.sh sets:
//   QW_APP     the program              QW_OUT     work folder (peer files)
//   QW_IMAGES  folder of ZYN_*.bin      QW_SHOTS   where pictures go (optional)
//   QW_SIM     "1": COM5 is quillon-sim  QW_PLACEHOLDER "1": the images are placeholders
// Runs the named sections (all but "dpi" and "bridge" when none is named); prints a line
// per check and exits 1 on any failure.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace {

const char* kTitle = "Tarnfield Quillon (v1.0.2) Software Download Utility";
const char* kCable = "STEP 1 - Connecting the USB Cable";
const char* kReadying = "STEP 2 - Readying the Quillon";
const char* kChoice = "STEP 3 - Selecting the Download";
const char* kSoftware = "STEP 4 - Downloading the Software";
const char* kBootloader = "STEP 4 - Downloading the Bootloader";
const char* kProgress = "Download in Progress";
const char* kComplete = "Download Complete";
const char* kPlaceholder = "This program carries a placeholder ";
int g_failures = 0;
// How long a check waits for what it expects. Only a failing check waits it
// out, so it is generous: a fresh CI machine's first Wine start builds font
// caches and is slow to paint.
constexpr int kPatience = 20000;

bool Check(bool ok, const std::string& what, const std::string& got = "") {
  std::printf("%s %s%s\n", ok ? "ok  " : "FAIL", what.c_str(),
              ok || got.empty() ? "" : (" (got: " + got + ")").c_str());
  std::fflush(stdout);
  if (!ok) ++g_failures;
  return ok;
}

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

std::string FileText(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), {});
}

void Truncate(const std::string& path) { std::ofstream(path, std::ios::binary | std::ios::trunc); }

template <typename F>
bool WaitFor(int ms, F condition) {
  for (DWORD start = GetTickCount();; Sleep(20)) {
    if (condition()) return true;
    if (GetTickCount() - start > static_cast<DWORD>(ms)) return false;
  }
}

// The wide messages: Wine carries only the first character of the narrow
// forms of some of them across processes.
std::string Ask(HWND window, UINT message, WPARAM wParam) {
  wchar_t wide[4096] = {};
  SendMessageTimeoutW(window, message, wParam, reinterpret_cast<LPARAM>(wide), SMTO_ABORTIFHUNG,
                      2000, nullptr);
  char text[4096] = {};
  WideCharToMultiByte(CP_ACP, 0, wide, -1, text, sizeof text, nullptr, nullptr);
  return text;
}
std::string Text(HWND window) { return Ask(window, WM_GETTEXT, 4096); }

void SetText(HWND window, const std::string& text) {
  std::wstring wide(text.begin(), text.end());
  SendMessageTimeoutW(window, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(wide.c_str()),
                      SMTO_ABORTIFHUNG, 2000, nullptr);
}

std::vector<std::string> ListLines(HWND list) {
  std::vector<std::string> lines;
  DWORD_PTR count = 0;
  SendMessageTimeoutW(list, LB_GETCOUNT, 0, 0, SMTO_ABORTIFHUNG, 2000, &count);
  for (DWORD_PTR i = 0; i < count && count != static_cast<DWORD_PTR>(LB_ERR); ++i)
    lines.push_back(Ask(list, LB_GETTEXT, i));
  return lines;
}

void Click(HWND window, int id) {
  PostMessageA(window, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
               reinterpret_cast<LPARAM>(GetDlgItem(window, id)));
}

// Keys through the system's input queue, as typed: the dialog manager reads
// the Shift of Shift+Tab from there.
void Key(BYTE vk, bool shift = false) {
  if (shift) keybd_event(VK_SHIFT, 0, 0, 0);
  keybd_event(vk, 0, 0, 0);
  keybd_event(vk, 0, KEYEVENTF_KEYUP, 0);
  if (shift) keybd_event(VK_SHIFT, 0, KEYEVENTF_KEYUP, 0);
}

// Message boxes share the main dialog's caption: the dialog is the window
// with Close (1030), a box the one with a static text 0xFFFF.
constexpr int MAIN = 1030, BOX = 0xFFFF;

// A visible top-level window of the process by caption, with the given
// control (0: any) in it.
HWND Top(DWORD process, const std::string& caption, int control = 0) {
  for (HWND window = nullptr;
       (window = FindWindowExA(nullptr, window, nullptr, nullptr)) != nullptr;) {
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    char text[512] = {};
    GetWindowTextA(window, text, sizeof text);
    if (owner == process && IsWindowVisible(window) && caption == text &&
        (!control || GetDlgItem(window, control))) {
      return window;
    }
  }
  return nullptr;
}

// Writes a window as it shows on the screen, frame and caption included.
void Shot(HWND window, const std::string& name) {
  const std::string dir = Env("QW_SHOTS");
  if (dir.empty() || !window) return;
  RECT place{};
  GetWindowRect(window, &place);
  const int width = place.right - place.left, height = place.bottom - place.top;
  HDC screen = GetDC(nullptr);
  HDC memory = CreateCompatibleDC(screen);
  BITMAPINFOHEADER info{sizeof(BITMAPINFOHEADER), width, height, 1, 24, BI_RGB, 0, 0, 0, 0, 0};
  void* bits = nullptr;
  HBITMAP bitmap = CreateDIBSection(screen, reinterpret_cast<BITMAPINFO*>(&info), DIB_RGB_COLORS,
                                    &bits, nullptr, 0);
  HGDIOBJ old = SelectObject(memory, bitmap);
  const size_t size = static_cast<size_t>((width * 3 + 3) & ~3) * height;
  // The same picture across a tick of the program's 100 ms timer (which
  // draws the connection strip): the window has finished painting.
  std::string pixels, previous = "none";
  for (int tries = 0; tries < 20 && pixels != previous; ++tries) {
    previous = pixels;
    Sleep(150);
    BitBlt(memory, 0, 0, width, height, screen, place.left, place.top, SRCCOPY);
    GdiFlush();
    pixels.assign(static_cast<const char*>(bits), size);
  }
  const DWORD offset = sizeof(BITMAPFILEHEADER) + sizeof info;
  BITMAPFILEHEADER head{0x4D42, static_cast<DWORD>(offset + size), 0, 0, offset};  // "BM"
  std::ofstream file(dir + "\\" + name + ".bmp", std::ios::binary);
  file.write(reinterpret_cast<const char*>(&head), sizeof head);
  file.write(reinterpret_cast<const char*>(&info), sizeof info);
  file << pixels;
  SelectObject(memory, old);
  DeleteObject(bitmap);
  DeleteDC(memory);
  ReleaseDC(nullptr, screen);
}

// One run of the program.
class Program {
 public:
  explicit Program(const std::string& arguments) {
    std::string command = "\"" + Env("QW_APP") + "\" " + arguments;
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    if (CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                       &startup, &process_)) {
      WaitFor(60000, [&] { return (main = Top(process_.dwProcessId, kTitle, MAIN)) != nullptr; });
    }
    Check(main != nullptr, "the program starts (" + arguments + ")");
  }
  ~Program() {
    if (WaitForSingleObject(process_.hProcess, 0) == WAIT_TIMEOUT)
      TerminateProcess(process_.hProcess, 99);
    CloseHandle(process_.hThread);
    CloseHandle(process_.hProcess);
  }
  Program(const Program&) = delete;
  Program& operator=(const Program&) = delete;

  HWND Window(const std::string& caption, int ms = kPatience, int control = 0) {
    HWND found = nullptr;
    WaitFor(ms, [&] { return (found = Top(process_.dwProcessId, caption, control)) != nullptr; });
    return found;
  }
  HWND Box(int ms = kPatience) { return Window(kTitle, ms, BOX); }
  std::string BoxText(HWND box) { return box ? Text(GetDlgItem(box, BOX)) : "no box"; }
  std::string Get(int id) { return Text(GetDlgItem(main, id)); }
  void Has(int id, const std::string& part, const std::string& what) {
    Check(Get(id).find(part) != std::string::npos, what, Get(id));
  }
  // Waits for a page; when it does not come, says what the user would see.
  bool Reach(const char* title, int ms = kPatience) {
    if (WaitFor(ms, [&] { return Get(1027) == title; })) return true;
    std::printf("     waited for \"%s\", shown: \"%s\"\n", title, Get(1027).c_str());
    if (HWND box = Top(process_.dwProcessId, kTitle, BOX))
      std::printf("     box: %s\n", BoxText(box).c_str());
    std::vector<std::string> lines = ListLines(GetDlgItem(Panel(), 1002));
    for (size_t i = lines.size() > 8 ? lines.size() - 8 : 0; i < lines.size(); ++i)
      std::printf("     log: %s\n", lines[i].c_str());
    ClosePanel();
    return false;
  }
  bool Page(const char* title, int ms = kPatience) {
    return Check(Reach(title, ms), std::string("shows ") + title);
  }
  bool Go(int id, const char* title, int ms = kPatience) {
    Click(main, id);
    return Page(title, ms);
  }
  bool Shown(int id) { return (GetWindowLongA(GetDlgItem(main, id), GWL_STYLE) & WS_VISIBLE) != 0; }
  HWND Panel() {
    if (HWND panel = Top(process_.dwProcessId, "Service Tools")) return panel;
    PostMessageA(main, WM_SYSCOMMAND, 0x10, 0);
    return Window("Service Tools");
  }
  void ClosePanel() {
    if (HWND panel = Top(process_.dwProcessId, "Service Tools")) Click(panel, IDCANCEL);
    WaitFor(kPatience, [&] { return !Top(process_.dwProcessId, "Service Tools"); });
  }
  // Waits for a log line containing part; returns the whole line.
  std::string Logged(const std::string& part, int ms = 10000) {
    std::string found;
    HWND list = GetDlgItem(Panel(), 1002);
    WaitFor(ms, [&] {
      for (const std::string& line : ListLines(list)) {
        if (line.find(part) != std::string::npos) found = line;
      }
      return !found.empty();
    });
    return found;
  }
  bool FocusOn(int id) {
    return WaitFor(kPatience, [&] {
      GUITHREADINFO info{};
      info.cbSize = sizeof info;
      return GetGUIThreadInfo(process_.dwThreadId, &info) && GetDlgCtrlID(info.hwndFocus) == id;
    });
  }
  void Foreground(HWND window) {
    SetForegroundWindow(window);
    WaitFor(kPatience, [&] { return GetForegroundWindow() == window; });
  }
  // The connection strip's colour, read from the screen.
  bool StripIs(COLORREF colour) {
    POINT at{60, 4};
    ClientToScreen(main, &at);
    HDC screen = GetDC(nullptr);
    bool seen = WaitFor(kPatience, [&] { return GetPixel(screen, at.x, at.y) == colour; });
    ReleaseDC(nullptr, screen);
    return seen;
  }
  // The dialog's face shows in the middle of the picture slot this many
  // dialog units down (96 dpi, Arial 10: a unit is 1.75 x 2 pixels).
  bool SlotIsFace(int unitsDown) {
    POINT at{static_cast<LONG>(169 * 1.75 + 43), unitsDown * 2 + 34};
    ClientToScreen(main, &at);
    HDC screen = GetDC(nullptr);
    bool face =
        WaitFor(kPatience, [&] { return GetPixel(screen, at.x, at.y) == GetSysColor(COLOR_3DFACE); });
    ReleaseDC(nullptr, screen);
    return face;
  }
  // WM_GETICON answers 0 across processes under Wine: the screen tells.
  // Empty when the olive shows; otherwise where it looked and what it saw.
  std::string TitleIconMissing() {
    HDC screen = GetDC(nullptr);
    RECT frame{};
    std::set<COLORREF> seen;
    bool olive = WaitFor(kPatience, [&] {
      GetWindowRect(main, &frame);  // read afresh: the window may still be placed
      seen.clear();
      for (LONG y = frame.top; y < frame.top + 24; ++y)
        for (LONG x = frame.left; x < frame.left + 24; ++x) seen.insert(GetPixel(screen, x, y));
      return seen.count(RGB(128, 128, 0)) != 0;
    });
    ReleaseDC(nullptr, screen);
    if (olive) return "";
    char said[160];
    std::snprintf(said, sizeof said, "frame at %ld,%ld, %zu colours, first %06lx", frame.left,
                  frame.top, seen.size(), seen.empty() ? 0UL : static_cast<unsigned long>(*seen.begin()));
    return said;
  }
  std::vector<RECT> ProgressStrips() {
    std::vector<RECT> strips;
    for (HWND child = nullptr;
         (child = FindWindowExA(main, child, "msctls_progress32", nullptr)) != nullptr;) {
      RECT place{};
      GetWindowRect(child, &place);
      MapWindowPoints(nullptr, main, reinterpret_cast<POINT*>(&place), 2);
      strips.push_back(place);
    }
    return strips;
  }
  // Ends the program with a step of the user's and checks its exit code.
  void Exit(const std::string& how) {
    DWORD code = 12345;
    bool ended = WaitForSingleObject(process_.hProcess, 10000) == WAIT_OBJECT_0 &&
                 GetExitCodeProcess(process_.hProcess, &code);
    Check(ended && code == 0, how + " ends the program with 0", std::to_string(code));
  }

  HWND main = nullptr;

 private:
  PROCESS_INFORMATION process_{};
};

// The baud rate at the far end, kept by pty_peer.py (a pty keeps no parity).
// The file is not named com7.txt: Windows takes that for the port.
void CheckBaud(int port, const std::string& want, const std::string& what) {
  std::string seen;
  WaitFor(kPatience, [&] {
    return (seen = FileText(Env("QW_OUT") + "\\line" + std::to_string(port) + ".txt")) ==
           want + "\n";
  });
  Check(seen == want + "\n", what, seen);
}

void CheckSent(const std::string& image) {
  const std::string sent = Env("QW_OUT") + "\\sent8.bin";
  const std::string want = FileText(Env("QW_IMAGES") + "\\" + image + ".bin");
  // The far end may still be reading the last block.
  WaitFor(kPatience, [&] { return FileText(sent).size() >= want.size(); });
  Check(!want.empty() && FileText(sent) == want,
        "the readout received " + image + " byte for byte");
}

// Sets the bridge's registry value "PortName" (the same value as "Portname":
// value names are not case-sensitive), or removes it (nullptr). The program
// reads it once, at start, when its command line names no port.
void SetBridgePort(const char* name) {
  const char* bridge =
      "SYSTEM\\CurrentControlSet\\Enum\\USB\\Vid_10C4&Pid_EA60&Mi_00\\0001_00\\Device Parameters";
  HKEY key = nullptr;
  if (!name) {
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, bridge);
  } else if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, bridge, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                             &key, nullptr) == ERROR_SUCCESS) {
    RegSetValueExA(key, "PortName", 0, REG_SZ, reinterpret_cast<const BYTE*>(name),
                   static_cast<DWORD>(std::strlen(name) + 1));
    RegCloseKey(key);
  }
}

void Walk(Program& p, bool software) {
  p.Go(1016, kReadying);
  p.Go(1016, kChoice);
  p.Go(software ? 1016 : 1017, software ? kSoftware : kBootloader);
}

// Next on page 4. A placeholder image goes out only after its warning,
// answered with the given button.
bool Send(Program& p, const char* title, int ms = kPatience, int answer = IDYES) {
  Click(p.main, 1016);
  if (Env("QW_PLACEHOLDER") == "1") {
    HWND box = p.Box();
    Check(p.BoxText(box).find(kPlaceholder) == 0, "a placeholder is sent only when asked", p.BoxText(box));
    Click(box, answer);
  }
  return p.Reach(title, ms);
}

void GuideOnCom7() {
  std::printf("--- the guide on COM7 (echoes), clicked through\n");
  Program p("com7");
  if (!p.main) return;
  p.Page(kCable);
  p.Has(1026, "When the cable is connected, press NEXT", "page 1 prompt");
  Check((p.Get(1029).find("(placeholder images)") != std::string::npos) ==
            (Env("QW_PLACEHOLDER") == "1"),
        "page 1 says \"(placeholder images)\" exactly when the images are");
  const std::string iconMissing = p.TitleIconMissing();
  Check(iconMissing.empty(), "the title bar shows the program's icon (its olive display)", iconMissing);
  Check(!IsWindowEnabled(GetDlgItem(p.main, 1017)), "page 1: Back disabled");
  Check(p.StripIs(RGB(0, 0, 0)), "the strip is black with no port open");
  Shot(p.main, "page1");
  p.Go(1016, kReadying);
  Shot(p.main, "page2");
  p.Go(1016, kChoice);
  Check(p.Get(1017) == "Bootloader" && p.Get(1016) == "Software",
        "page 3 offers Bootloader and Software");
  Shot(p.main, "page3");
  p.Go(1016, kSoftware);
  CheckBaud(7, "115200", "the port is opened at 115200 baud");
  Check(p.StripIs(RGB(0, 255, 0)), "the strip turns green: port open, CTS on");
  Shot(p.main, "page4-software");
  Truncate(Env("QW_OUT") + "\\cts_off");
  Check(p.StripIs(RGB(255, 0, 0)), "the strip turns red when CTS drops");
  DeleteFileA((Env("QW_OUT") + "\\cts_off").c_str());

  HWND panel = p.Panel();
  std::vector<std::string> lines = ListLines(GetDlgItem(panel, 1002));
  Check(Text(GetDlgItem(panel, 1000)) == "7" && lines.size() >= 2 &&
            lines[1] == "Device Com7 opened successfully.",
        "the panel shows port 7 and the log its opening");
  Shot(panel, "service-panel");
  // The panel by keyboard: Tab and Shift+Tab move, Enter presses, Escape closes.
  p.Foreground(panel);
  PostMessageA(panel, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(GetDlgItem(panel, 1006)), TRUE);
  p.FocusOn(1006);
  Key(VK_TAB);
  bool forward = p.FocusOn(1007);
  Key(VK_TAB, true);
  Key(VK_TAB, true);
  Check(forward && p.FocusOn(1001), "Tab and Shift+Tab move through the panel");
  Key(VK_RETURN);  // Clear Log
  Check(WaitFor(kPatience, [&] { return ListLines(GetDlgItem(panel, 1002)).empty(); }),
        "Enter presses Clear Log");
  Key(VK_ESCAPE);
  Check(WaitFor(kPatience, [&] { return !IsWindow(panel); }), "Escape closes the panel");

  p.Go(1017, kChoice);
  p.Go(1017, kBootloader);
  Shot(p.main, "page4-bootloader");
  panel = p.Panel();
  Click(panel, 1014);
  HWND box = p.Box();
  Check(p.BoxText(box) == "Are you sure you want to erase the flash?", "the erase asks first",
        p.BoxText(box));
  Click(box, IDYES);
  Check(p.Logged("Done erasing user storage.") == "Done erasing user storage.",
        "the echoed answer completes the erase");
  p.Page("Erase Complete");
  Check(
      p.Get(1029) == "The user storage on the Quillon's flash has been erased." && p.SlotIsFace(80),
      "page 6 after the erase says so, its lower slot cleared of page 4's picture");
  Shot(p.main, "page6-erase");
  lines = ListLines(GetDlgItem(panel, 1002));
  Check(!lines.empty() && lines[0].find("Erasing user storage") == 0,
        "the list shows the lines logged since the clear");

  WaitFor(kPatience, [] {  // no notepad left from an earlier run
    HWND old = FindWindowA("Notepad", nullptr);
    if (old) PostMessageA(old, WM_CLOSE, 0, 0);
    return !old;
  });
  Click(panel, 1006);
  HWND notepad = nullptr;
  WaitFor(30000, [&] { return (notepad = FindWindowA("Notepad", nullptr)) != nullptr; });
  Check(notepad != nullptr, "Export Log opens the lines in notepad");
  if (notepad) PostMessageA(notepad, WM_CLOSE, 0, 0);
  Click(p.main, IDCANCEL);  // the Escape key's command
  p.Exit("Command 2");
}

// "COM 5" holds no number the way the bridge's driver writes port names (three
// characters, then digits), so the port is asked for: the port-number dialog
// comes on every Next from page 2. A port that cannot be opened sends the
// guide back to page 1.
void KeyboardWalk() {
  std::printf("--- the guide by keyboard alone; the registry's COM 5 is no port, 9 then 7 asked\n");
  SetBridgePort("COM 5");
  Program p("");
  SetBridgePort(nullptr);
  if (!p.main) return;
  p.Page(kCable);
  p.Foreground(p.main);
  bool start = p.FocusOn(1016);
  Key(VK_TAB);  // to Close: Back is disabled on page 1
  Key(VK_TAB);
  Check(start && p.FocusOn(1016), "the focus starts on Next, and Tab goes round to it");
  for (char digit : {'9', '7'}) {
    Key(VK_RETURN);
    p.Page(kReadying);
    Key(VK_RETURN);
    HWND dialog = p.Window("Dialog");
    std::string shown = dialog ? Text(GetDlgItem(dialog, 1000)) : "no dialog";
    Check(shown == (digit == '9' ? "0" : "9") && !IsWindowEnabled(p.main),
          "the port-number dialog shows the number known; the guide waits", shown);
    if (digit == '9') Shot(dialog, "port-dialog");
    Key(VK_TAB);
    p.FocusOn(1000);
    Key(digit);
    Key(VK_RETURN);
    p.Page(kChoice);
    Key(VK_RETURN);  // Software
    if (digit == '7') break;
    HWND box = p.Box();
    Check(p.BoxText(box).find("The USB port (9) connection could not be opened.  Please") == 0,
          "a port that cannot be opened is named in a warning", p.BoxText(box));
    Shot(box, "open-failure");
    Key(VK_RETURN);
    p.Page(kCable);
  }
  p.Page(kSoftware);
  Key(VK_TAB);
  Check(p.FocusOn(1017), "Tab moves to Back");
  Key(VK_RETURN);
  p.Page(kChoice);
  Key(VK_TAB, true);
  Check(p.FocusOn(1016), "Shift+Tab moves back to Software");
  Key(VK_ESCAPE);
  p.Exit("Escape");
}

void StalledLine() {
  std::printf("--- a download into a line that takes nothing (COM6)\n");
  Program p("com6");
  if (!p.main) return;
  Walk(p, false);
  Check(Send(p, kProgress), "shows Download in Progress");
  p.Has(1029, "takes about 3 seconds", "page 5 estimates the bootloader's time");
  Check(!p.Shown(1016) && !p.Shown(1017), "page 5 hides both buttons");
  std::vector<RECT> strips = p.ProgressStrips();
  RECT client{};
  GetClientRect(p.main, &client);
  RECT want{10, client.bottom - 10, client.right - 10, client.bottom};
  Check(strips.size() == 1 && EqualRect(&strips[0], &want),
        "one progress strip, 10 pixels high along the bottom edge");
  Shot(p.main, "page5-bootloader");
  HWND box = p.Box(30000);
  Check(p.BoxText(box) ==
            "The download did not complete.  The port stopped accepting data.  Check the cable "
            "and the readout, then try again.",
        "the stalled download ends, within its bound, with a warning", p.BoxText(box));
  Click(box, IDOK);
  p.Page(kBootloader);
  Check(p.Shown(1016) && p.Shown(1017) && p.ProgressStrips().empty(),
        "page 4 again, its buttons back, the strip gone");
  Click(p.main, 1030);
  p.Exit("Close");
}

// The bootloader once more from page 6, held on page 5 by the far end.
bool HeldOnPageFive(Program& p) {
  Truncate(Env("QW_OUT") + "\\sent8.bin");
  Truncate(Env("QW_OUT") + "\\hold8");
  return p.Go(1017, kChoice) && p.Go(1017, kBootloader) && Send(p, kProgress);
}

// Closing while the image goes out asks first; No leaves the download to
// finish whole. An unplugged port sends the guide to page 4, where Next
// opens it again once it is back. Yes to the question ends the program.
void CloseUnplugReplug(Program& p) {
  const std::string hold = Env("QW_OUT") + "\\hold8", unplug = Env("QW_OUT") + "\\unplug8";
  const char* question =
      "The download is not finished.  Closing now leaves the readout with a "
      "partial image; it must be loaded again.  Close anyway?";
  HeldOnPageFive(p);
  Click(p.main, 1030);
  HWND box = p.Box();
  Check(p.BoxText(box) == question, "Close on page 5 asks first", p.BoxText(box));
  Click(box, IDNO);  // within the write bound (5 s) of the held line
  DeleteFileA(hold.c_str());
  p.Page(kComplete, 60000);
  CheckSent("ZYN_BOOTLOADER");
  HeldOnPageFive(p);
  Truncate(unplug);
  box = p.Box(10000);
  Check(p.BoxText(box).find("The download did not complete.  The readout's port went away") == 0,
        "an unplug on page 5 is told", p.BoxText(box));
  Click(box, IDOK);
  p.Page(kBootloader);
  DeleteFileA(hold.c_str());
  DeleteFileA(unplug.c_str());
  WaitFor(kPatience, [] {  // the port is back
    HANDLE port = CreateFileA("\\\\.\\COM8", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (port != INVALID_HANDLE_VALUE) CloseHandle(port);
    return port != INVALID_HANDLE_VALUE;
  });
  Truncate(Env("QW_OUT") + "\\sent8.bin");
  Check(Send(p, kComplete, 60000), "replugged, Next on page 4 opens the port and downloads");
  CheckSent("ZYN_BOOTLOADER");
  HeldOnPageFive(p);
  PostMessageA(p.main, WM_CLOSE, 0, 0);  // the close box
  box = p.Box();
  Check(p.BoxText(box) == question, "the close box asks too", p.BoxText(box));
  Shot(box, "close-question");
  Click(box, IDYES);
  p.Exit("Yes to the close question");
  DeleteFileA(hold.c_str());
}

void DownloadsOnCom8() {
  std::printf("--- downloads on COM8 from the registry; Back on page 6 and Software, five times\n");
  const std::string sent = Env("QW_OUT") + "\\sent8.bin", hold = Env("QW_OUT") + "\\hold8";
  SetBridgePort("COM8");
  Program p("");
  SetBridgePort(nullptr);
  if (!p.main) return;
  Check(Text(GetDlgItem(p.Panel(), 1000)) == "8", "the registry's port 8 is shown");
  p.ClosePanel();
  Walk(p, false);  // no port-number dialog
  Truncate(sent);
  if (Env("QW_PLACEHOLDER") == "1") {
    Send(p, kBootloader, kPatience, IDNO);
    Check(p.Get(1027) == kBootloader && FileText(sent).empty(), "No: page 4, nothing sent");
  }
  Check(Send(p, kComplete, 60000), "shows Download Complete");
  p.Has(1029, "transmitted (30356) matches", "page 6 gives the bootloader's byte count");
  Check(p.Get(1026) == "Press BACK if you want to load the software." && !p.Shown(1016),
        "page 6 offers Back only");
  Shot(p.main, "page6-bootloader");
  CheckSent("ZYN_BOOTLOADER");
  Check(p.Logged("Done loading.") == "Done loading.", "the log says the load is done");
  CheckBaud(8, "38400", "the line is left at 38400 baud");
  p.ClosePanel();
  // Back on page 6 closes the port; Software opens it again.
  int good = 0;
  for (int round = 1; round <= 5; ++round) {
    Click(p.main, 1017);
    if (!p.Reach(kChoice)) break;
    Click(p.main, 1016);
    if (!p.Reach(kSoftware)) break;
    if (++good == 5) break;
    Click(p.main, 1017);
    p.Reach(kChoice);
    Click(p.main, 1017);
    p.Reach(kBootloader);
    if (!Send(p, kComplete, 60000)) break;
  }
  Check(good == 5, "Back on page 6, then Software reaches page 4: 5 times of 5",
        std::to_string(good));
  // The software, held on page 5 for its picture.
  Truncate(sent);
  Truncate(hold);
  Check(Send(p, kProgress), "shows Download in Progress");
  p.Has(1029, "takes about 7.6 minutes", "page 5 estimates the software's time");
  Shot(p.main, "page5-software");
  DeleteFileA(hold.c_str());
  p.Page(kComplete, 120000);
  Check(p.Get(1026) == "Press CLOSE to exit this program." && p.Get(1028).empty(),
        "page 6 after the software asks for Close");
  Shot(p.main, "page6-software");
  CheckSent("ZYN_SOFTWARE");
  CloseUnplugReplug(p);
}

// The edit of a file dialog's name box (cmb13, 0x47c): a combo box within a
// combo box, each with the same id.
HWND NameField(HWND dialog) {
  HWND field = GetDlgItem(dialog, 0x47c);
  while (HWND inner = GetDlgItem(field, 0x47c)) field = inner;
  return field;
}

// Types into the name field and waits until it shows: everything posted to
// the program before has been handled.
bool Settle(HWND field, const std::string& before) {
  PostMessageA(field, WM_CHAR, 'x', 1);
  return WaitFor(kPatience, [&] { return Text(field) == before + "x"; });
}

void Choose(Program& p, const char* caption, const std::string& path) {
  HWND dialog = p.Window(caption, 10000);
  SetText(NameField(dialog), path);
  Click(dialog, IDOK);
}

// A transfer's result box; then the two files must be the same.
void Result(Program& p, const std::string& want, const std::string& what, const std::string& one,
            const std::string& other) {
  HWND box = p.Box(30000);
  Check(p.BoxText(box) == want && FileText(one) == FileText(other), what, p.BoxText(box));
  Click(box, IDOK);
}

void TransfersAgainstSimulator() {
  std::printf("--- packet transfers against quillon-sim on COM5\n");
  const std::string out = Env("QW_OUT");
  Program p("com5");
  if (!p.main) return;
  Walk(p, true);
  HWND panel = p.Panel();
  Click(panel, 1003);
  std::string answer = p.Logged("ERROR Unknown Command: ");
  Check(answer.find("Cmd=19,") != std::string::npos && answer.find("buf(6)=100000") != std::string::npos,
        "the readout's code-19 answer to the test packet is logged as an unknown command", answer);

  // While the open dialog of Send Settings is up, nothing takes a command:
  // clicks that reach the disabled panel or the guide anyway are refused.
  Click(panel, 1023);
  HWND open = p.Window("Open", 10000);
  HWND field = NameField(open);
  Check(open && !IsWindowEnabled(panel) && !IsWindowEnabled(p.main),
        "the open dialog disables the panel and the guide");
  Click(panel, 1025);
  Click(p.main, 1016);
  SetText(field, "");
  bool settled = Settle(field, "") && Settle(field, "x");  // the panel's own post included
  Check(settled && p.Logged("Sending Program File...", 0).empty() &&
            Text(GetDlgItem(panel, 1025)) == "Send Program" && p.Get(1027) == kSoftware,
        "Send Program and Next are refused meanwhile");
  Choose(p, "Open", out + "\\settings.bin");
  Result(p, "Transfer of settings sucessfully completed.", "a settings file is sent, stored whole",
         out + "\\settings.bin", out + "\\simstore\\settings.bin");
  Check(WaitFor(kPatience, [&] { return IsWindowEnabled(panel) != FALSE; }),
        "the panel takes commands again");

  Click(panel, 1022);
  Choose(p, "Save As", out + "\\got_settings.bin");
  Result(p, "Transfer of settings sucessfully completed.", "the settings file is received whole",
         out + "\\got_settings.bin", out + "\\settings.bin");

  Click(panel, 1024);
  HWND prompt = p.Window("Program Name", 10000);
  Check(prompt && GetWindow(prompt, GW_OWNER) == p.main && !IsWindowEnabled(p.main) &&
            !IsWindowEnabled(panel),
        "the program-name prompt is owned by the main dialog, which waits with the panel");
  SetText(GetDlgItem(prompt, 1000), "PROG1");
  Shot(prompt, "program-name");
  Click(prompt, IDOK);
  Choose(p, "Save As", out + "\\got_program.bin");
  Result(p, "Transfer of program sucessfully completed.", "a program is received whole, by name",
         out + "\\got_program.bin", out + "\\simstore\\PROG1");
  Click(p.main, IDCANCEL);
  p.Exit("Command 2");
}

// At a raised display scaling nothing may be cut: each text fits its
// control inside the dialog, and both pictures lie whole in the dialog,
// clear of the texts and buttons.
void Scaled() {
  HDC screen = GetDC(nullptr);
  const int dpi = GetDeviceCaps(screen, LOGPIXELSY);
  ReleaseDC(nullptr, screen);
  std::printf("--- the guide at %d dpi\n", dpi);
  Program p("com7");
  if (!p.main) return;
  Walk(p, true);
  RECT client{}, inside{};
  GetClientRect(p.main, &client);
  HDC dc = CreateCompatibleDC(nullptr);
  HFONT font = CreateFontA(-MulDiv(10, dpi, 72), 0, 0, 0, FW_NORMAL, 0, 0, 0, ANSI_CHARSET, 0, 0, 0,
                           0, "Arial");
  SelectObject(dc, font);
  std::string cut;
  std::map<int, RECT> place;
  for (int id : {1016, 1017, 1026, 1027, 1028, 1029, 1030}) {
    RECT& r = place[id];
    GetWindowRect(GetDlgItem(p.main, id), &r);
    MapWindowPoints(nullptr, p.main, reinterpret_cast<POINT*>(&r), 2);
    RECT need{0, 0, r.right - r.left - (id == 1016 || id == 1017 || id == 1030 ? 6 : 0),
              0};  // a button's edge
    DrawTextA(dc, p.Get(id).c_str(), -1, &need, DT_CALCRECT | DT_WORDBREAK);
    if (need.right > r.right - r.left || need.bottom > r.bottom - r.top ||
        !IntersectRect(&inside, &r, &client) || !EqualRect(&inside, &r)) {
      cut += std::to_string(id) + " ";
    }
  }
  DeleteDC(dc);
  DeleteObject(font);
  Check(cut.empty(), "every text fits its control inside the dialog", cut);
  // The slots in dialog units, 169 across and 30 or 80 down, measured by text
  // 1029 (155 x 40 units); a picture is 87 x 68 pixels at 96 dpi. On screen
  // its corners show the picture, not the dialog's face, and just past its
  // far corner the face shows again.
  const double unitX = (place[1029].right - place[1029].left) / 155.0,
               unitY = (place[1029].bottom - place[1029].top) / 40.0;
  screen = GetDC(nullptr);
  auto face = [&](LONG x, LONG y) {
    POINT at{x, y};
    ClientToScreen(p.main, &at);
    return GetPixel(screen, at.x, at.y) == GetSysColor(COLOR_3DFACE);
  };
  for (int slotY : {30, 80}) {
    RECT r{static_cast<LONG>(169 * unitX), static_cast<LONG>(slotY * unitY), 0, 0}, overlap{};
    r.right = r.left + MulDiv(87, dpi, 96);
    r.bottom = r.top + MulDiv(68, dpi, 96);
    bool clear = IntersectRect(&inside, &r, &client) && EqualRect(&inside, &r);
    for (const auto& [id, control] : place) clear = clear && !IntersectRect(&overlap, &r, &control);
    clear = clear && WaitFor(kPatience, [&] {
              return !face(r.left + 3, r.top + 3) && !face(r.right - 4, r.bottom - 4) &&
                     face(r.right + 3, r.bottom + 3);
            });
    Check(clear, "the picture " + std::to_string(slotY) +
                     " units down shows whole, clear of the controls");
  }
  ReleaseDC(nullptr, screen);
  Shot(p.main, "page4-software-" + std::to_string(dpi) + "dpi");
  Click(p.main, 1030);
  p.Exit("Close");
}

// Without the bridge's fixed key the bridge is found among the ports, as
// quillon.exe finds it (run.sh gives COM12 a bridge's device record).
void BridgeAmongPorts() {
  std::printf("--- no fixed key: the bridge's device record names COM12\n");
  SetBridgePort(nullptr);
  Program p("");
  if (!p.main) return;
  Check(Text(GetDlgItem(p.Panel(), 1000)) == "12", "the bridge's port 12 is found among the ports");
  p.ClosePanel();
  Click(p.main, IDCANCEL);
  p.Exit("Command 2");
}

}  // namespace

int main(int argc, char** argv) {
  using Section = std::pair<const char*, void (*)()>;
  const Section sections[] = {{"guide", GuideOnCom7},
                              {"keys", KeyboardWalk},
                              {"stall", StalledLine},
                              {"com8", DownloadsOnCom8},
                              {"sim", TransfersAgainstSimulator},
                              {"dpi", Scaled},
                              {"bridge", BridgeAmongPorts}};
  // Without Wine's own desktop the windows get no frames and keys may go
  // astray; say so first, since every later failure would follow from it.
  RECT desktop{};
  GetWindowRect(GetDesktopWindow(), &desktop);
  Check(desktop.right - desktop.left == 1024 && desktop.bottom - desktop.top == 768,
        "Wine's own desktop (1024x768) is in place",
        std::to_string(desktop.right - desktop.left) + "x" + std::to_string(desktop.bottom - desktop.top));
  for (const auto& [name, run] : sections) {
    bool named = false;
    for (int i = 1; i < argc; ++i) named = named || std::string(name) == argv[i];
    bool all = argc == 1 && std::string(name) != "dpi" && std::string(name) != "bridge" &&
               (std::string(name) != "sim" || Env("QW_SIM") == "1");
    if (named || all) run();
  }
  std::printf("%d failure(s)\n", g_failures);
  return g_failures == 0 ? 0 : 1;
}
