// Drives QuillonDownload.exe under Wine (or Windows): finds its windows by
// caption, presses buttons, reads and writes control texts and answers
// message boxes. Each argument is one step; the steps run in order and the
// first one that fails ends the driver with exit code 1.
//
//   wait:<ms>                      the main dialog appears within ms
//   text:<id>                      prints "<id>=<text>" of a main-dialog control
//   until:<id>:<text>:<ms>        waits until a main-dialog control shows text; prints it
//   shown:<id> / enabled:<id>      prints "<id>.shown=0|1" / "<id>.enabled=0|1"
//   click:<id>                     posts the button's command to the main dialog
//   escape                         posts the Escape key to the main dialog
//   close                          posts WM_CLOSE to the main dialog
//   syscmd:<n>                     posts WM_SYSCOMMAND n to the main dialog
//   win:<caption>:<ms>             a top-level window with that caption appears
//   wtext:<caption>:<id>           prints a control's text in that window
//   wset:<caption>:<id>:<text>     sets a control's text in that window
//   wclick:<caption>:<id>          posts the command id to that window
//   wcount:<caption>:<id>          prints the item count of a list box in that window
//   witem:<caption>:<id>:<n>       prints item n of that list box
//   wline:<caption>:<id>:<text>   waits (10 s) until a list box in that window holds
//                                  a line containing text; prints "line=<line>"
//   wfind:<part>:<ms>              a visible top-level window whose caption holds part
//                                  appears; prints "found=<caption>"
//   wclose:<part>                  posts WM_CLOSE to that window
//   box:<ms>                       waits for a message box; prints "box=<text>"
//   answer:<id>                    presses button id (1 OK, 6 Yes, 7 No) of the box
//   gone:<ms>                      the main dialog has gone within ms
//   pause:<ms>                     lets the program run (repaints, timer ticks)
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

const char* kTitle = "Tarnfield Quillon (v1.0.2) Software Download Utility";
HWND g_main = nullptr;
HWND g_box = nullptr;

std::string TextOf(HWND window) {
  char buffer[4096] = {};
  // WM_GETTEXT works across processes for the standard controls.
  SendMessageTimeoutA(window, WM_GETTEXT, sizeof buffer, reinterpret_cast<LPARAM>(buffer),
                      SMTO_ABORTIFHUNG, 2000, nullptr);
  return buffer;
}

template <typename F>
bool WaitFor(int ms, F condition) {
  DWORD start = GetTickCount();
  for (;;) {
    if (condition()) return true;
    if (GetTickCount() - start > static_cast<DWORD>(ms)) return false;
    Sleep(50);
  }
}

HWND FindByCaption(const std::string& caption) { return FindWindowA(nullptr, caption.c_str()); }

// The message boxes share the main dialog's caption; the dialog is the
// window with the Close button.
BOOL CALLBACK FindMain(HWND window, LPARAM param) {
  if (TextOf(window) == kTitle && GetDlgItem(window, 1030)) {
    *reinterpret_cast<HWND*>(param) = window;
    return FALSE;
  }
  return TRUE;
}

struct PartSearch {
  std::string part;
  HWND found;
};

BOOL CALLBACK FindPart(HWND window, LPARAM param) {
  auto* search = reinterpret_cast<PartSearch*>(param);
  if (IsWindowVisible(window) && TextOf(window).find(search->part) != std::string::npos) {
    search->found = window;
    return FALSE;
  }
  return TRUE;
}

HWND FindByPart(const std::string& part) {
  PartSearch search{part, nullptr};
  EnumWindows(FindPart, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

HWND FindMainDialog() {
  HWND found = nullptr;
  EnumWindows(FindMain, reinterpret_cast<LPARAM>(&found));
  return found;
}

struct BoxSearch {
  DWORD process;
  HWND found;
};

BOOL CALLBACK FindBox(HWND window, LPARAM param) {
  auto* search = reinterpret_cast<BoxSearch*>(param);
  DWORD process = 0;
  GetWindowThreadProcessId(window, &process);
  char cls[64] = {};
  GetClassNameA(window, cls, sizeof cls);
  // A message box: a dialog with the program's caption and a static text of id 0xFFFF.
  if (process == search->process && window != g_main && IsWindowVisible(window) &&
      std::string(cls) == "#32770" && GetDlgItem(window, 0xFFFF) && TextOf(window) == kTitle) {
    search->found = window;
    return FALSE;
  }
  return TRUE;
}

std::vector<std::string> Split(const std::string& text, char at, size_t parts) {
  std::vector<std::string> out;
  size_t begin = 0;
  while (out.size() + 1 < parts) {
    size_t end = text.find(at, begin);
    if (end == std::string::npos) break;
    out.push_back(text.substr(begin, end - begin));
    begin = end + 1;
  }
  out.push_back(text.substr(begin));
  return out;
}

void PostCommand(HWND window, int id) {
  PostMessageA(window, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
               reinterpret_cast<LPARAM>(GetDlgItem(window, id)));
}

bool Step(const std::string& step) {
  auto parts = Split(step, ':', 4);
  const std::string& verb = parts[0];
  auto arg = [&](size_t i) { return i < parts.size() ? parts[i] : std::string(); };
  auto num = [&](size_t i) { return std::atoi(arg(i).c_str()); };
  if (verb == "wait") {
    return WaitFor(num(1), [] { return (g_main = FindMainDialog()) != nullptr; });
  }
  if (verb == "pause") {
    Sleep(static_cast<DWORD>(num(1)));
    return true;
  }
  if (verb == "gone") {
    return WaitFor(num(1), [] { return !IsWindow(g_main); });
  }
  if (verb == "win") {
    return WaitFor(num(2), [&] { return FindByCaption(arg(1)) != nullptr; });
  }
  if (verb == "wfind") {
    HWND found = nullptr;
    bool seen = WaitFor(num(2), [&] { return (found = FindByPart(arg(1))) != nullptr; });
    if (seen) std::printf("found=%s\n", TextOf(found).c_str());
    return seen;
  }
  if (verb == "wclose") {
    HWND found = FindByPart(arg(1));
    if (!found) return false;
    PostMessageA(found, WM_CLOSE, 0, 0);
    return true;
  }
  if (verb == "box") {
    DWORD process = 0;
    GetWindowThreadProcessId(g_main, &process);
    bool found = WaitFor(num(1), [&] {
      BoxSearch search{process, nullptr};
      EnumWindows(FindBox, reinterpret_cast<LPARAM>(&search));
      g_box = search.found;
      return g_box != nullptr;
    });
    if (found) std::printf("box=%s|%s\n", TextOf(g_box).c_str(), TextOf(GetDlgItem(g_box, 0xFFFF)).c_str());
    return found;
  }
  if (verb == "answer") {
    if (!g_box) return false;
    PostCommand(g_box, num(1));
    g_box = nullptr;
    return true;
  }
  if (!g_main) return false;
  if (verb == "text") {
    HWND control = GetDlgItem(g_main, num(1));
    if (!control) return false;
    std::printf("%d=%s\n", num(1), TextOf(control).c_str());
    return true;
  }
  if (verb == "until") {
    HWND control = GetDlgItem(g_main, num(1));
    if (!control) return false;
    bool seen = WaitFor(num(3), [&] { return TextOf(control) == arg(2); });
    std::printf("%d=%s\n", num(1), TextOf(control).c_str());
    return seen;
  }
  if (verb == "shown" || verb == "enabled") {
    HWND control = GetDlgItem(g_main, num(1));
    if (!control) return false;
    bool value = verb == "shown" ? (GetWindowLongA(control, GWL_STYLE) & WS_VISIBLE) != 0
                                 : IsWindowEnabled(control) != FALSE;
    std::printf("%d.%s=%d\n", num(1), verb.c_str(), value ? 1 : 0);
    return true;
  }
  if (verb == "click") {
    PostCommand(g_main, num(1));
    return true;
  }
  if (verb == "escape") {
    PostMessageA(g_main, WM_KEYDOWN, VK_ESCAPE, 0x00010001);
    PostMessageA(g_main, WM_KEYUP, VK_ESCAPE, static_cast<LPARAM>(0xC0010001u));
    return true;
  }
  if (verb == "close") {
    PostMessageA(g_main, WM_CLOSE, 0, 0);
    return true;
  }
  if (verb == "syscmd") {
    PostMessageA(g_main, WM_SYSCOMMAND, static_cast<WPARAM>(num(1)), 0);
    return true;
  }
  HWND window = FindByCaption(arg(1));
  if (!window) return false;
  if (verb == "wtext") {
    HWND control = GetDlgItem(window, num(2));
    if (!control) return false;
    std::printf("%s/%d=%s\n", arg(1).c_str(), num(2), TextOf(control).c_str());
    return true;
  }
  if (verb == "wset") {
    HWND control = GetDlgItem(window, num(2));
    if (!control) return false;
    std::string text = arg(3);
    SendMessageTimeoutA(control, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()),
                        SMTO_ABORTIFHUNG, 2000, nullptr);
    return true;
  }
  if (verb == "wcount" || verb == "witem") {
    HWND control = GetDlgItem(window, num(2));
    if (!control) return false;
    DWORD_PTR count = 0;
    SendMessageTimeoutA(control, LB_GETCOUNT, 0, 0, SMTO_ABORTIFHUNG, 2000, &count);
    if (verb == "wcount") {
      std::printf("%s/%d.count=%d\n", arg(1).c_str(), num(2), static_cast<int>(count));
      return true;
    }
    if (num(3) < 0 || static_cast<DWORD_PTR>(num(3)) >= count) return false;
    // The wide form: Wine carries only the first character of the narrow
    // one across processes.
    wchar_t wide[2048] = {};
    SendMessageTimeoutW(control, LB_GETTEXT, static_cast<WPARAM>(num(3)), reinterpret_cast<LPARAM>(wide),
                        SMTO_ABORTIFHUNG, 2000, nullptr);
    char item[4096] = {};
    WideCharToMultiByte(CP_ACP, 0, wide, -1, item, sizeof item, nullptr, nullptr);
    std::printf("%s/%d[%d]=%s\n", arg(1).c_str(), num(2), num(3), item);
    return true;
  }
  if (verb == "wline") {
    HWND control = GetDlgItem(window, num(2));
    if (!control) return false;
    const std::string line = arg(3);
    const std::wstring wanted(line.begin(), line.end());
    char found[4096] = {};
    bool seen = WaitFor(10000, [&] {
      DWORD_PTR count = 0;
      SendMessageTimeoutA(control, LB_GETCOUNT, 0, 0, SMTO_ABORTIFHUNG, 2000, &count);
      for (DWORD_PTR i = 0; i < count; ++i) {
        wchar_t wide[2048] = {};
        SendMessageTimeoutW(control, LB_GETTEXT, i, reinterpret_cast<LPARAM>(wide), SMTO_ABORTIFHUNG, 2000, nullptr);
        if (std::wstring(wide).find(wanted) != std::wstring::npos) {
          WideCharToMultiByte(CP_ACP, 0, wide, -1, found, sizeof found, nullptr, nullptr);
          return true;
        }
      }
      return false;
    });
    if (seen) std::printf("line=%s\n", found);
    return seen;
  }
  if (verb == "wclick") {
    PostCommand(window, num(2));
    return true;
  }
  std::fprintf(stderr, "unknown step: %s\n", step.c_str());
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (!Step(argv[i])) {
      std::printf("FAILED step: %s\n", argv[i]);
      std::fflush(stdout);
      return 1;
    }
    std::fflush(stdout);
  }
  return 0;
}
