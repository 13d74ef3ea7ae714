// Checks the host's modal dialogs on real windows (under Wine or Windows):
// the port-number dialog, the program-name prompt and the file choosers.
// The dialogs run on the main thread; a second thread plays the user.
//
//   dialog_check.exe <existing file path>
#include <windows.h>
#undef MessageBox

#include <cstdio>
#include <functional>
#include <string>
#include <thread>

#include "core/protocol/parser.h"
#include "platform/win32/win32_host.h"

using quillon::win32::Win32Host;

namespace {

int g_failures = 0;

void Check(bool ok, const std::string& what) {
  std::printf("%s %s\n", ok ? "ok  " : "FAIL", what.c_str());
  std::fflush(stdout);
  if (!ok) ++g_failures;
}

HWND WaitWindow(const char* caption, HWND except = nullptr) {
  for (int i = 0; i < 200; ++i) {
    HWND found = FindWindowA("#32770", caption);
    if (found && found != except && IsWindowVisible(found)) return found;
    Sleep(50);
  }
  return nullptr;
}

std::string TextOf(HWND window) {
  char text[512] = {};
  SendMessageA(window, WM_GETTEXT, sizeof text, reinterpret_cast<LPARAM>(text));
  return text;
}

// Runs the user's part on its own thread while the dialog runs here.
int WithUser(const std::function<int()>& dialog, const std::function<void()>& user) {
  std::thread actor(user);
  int result = dialog();
  actor.join();
  return result;
}

void Type(HWND edit, const std::string& text) {
  for (char c : text) SendMessageA(edit, WM_CHAR, static_cast<WPARAM>(static_cast<unsigned char>(c)), 1);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  const std::string existing = argv[1];
  HINSTANCE instance = GetModuleHandleA(nullptr);
  Win32Host host(instance);
  // The main dialog stand-in: the prompt centres itself on it.
  HWND frame = CreateWindowExA(0, "STATIC", "frame", WS_POPUP | WS_VISIBLE, 100, 50, 500, 400, nullptr,
                               nullptr, instance, nullptr);
  host.AttachDialog(frame);

  // --- port-number dialog
  int number = 5;
  std::string shown;
  int result = WithUser([&] { return host.RunPortNumberDialog(number); }, [&] {
    HWND dialog = WaitWindow("Dialog");
    if (!dialog) return;
    shown = TextOf(GetDlgItem(dialog, 1000));
    SetDlgItemTextA(dialog, 1000, "12");
    PostMessageA(dialog, WM_COMMAND, IDOK, 0);
  });
  Check(shown == "5", "the port dialog shows the current number");
  Check(result == 1 && number == 12, "OK takes the number typed");
  result = WithUser([&] { return host.RunPortNumberDialog(number); }, [&] {
    HWND dialog = WaitWindow("Dialog");
    if (!dialog) return;
    SetDlgItemTextA(dialog, 1000, "3");
    PostMessageA(dialog, WM_COMMAND, IDCANCEL, 0);
  });
  Check(result == 0 && number == 12, "Escape keeps the previous number");
  result = WithUser([&] { return host.RunPortNumberDialog(number); }, [&] {
    HWND dialog = WaitWindow("Dialog");
    if (!dialog) return;
    SetDlgItemTextA(dialog, 1000, "");
    PostMessageA(dialog, WM_COMMAND, IDOK, 0);
  });
  Check(result == 1 && number == 0, "OK with an empty field gives 0");
  result = WithUser([&] { return host.RunPortNumberDialog(number); }, [&] {
    HWND dialog = WaitWindow("Dialog");
    if (dialog) PostMessageA(dialog, WM_CLOSE, 0, 0);
  });
  Check(result == 0, "the close box cancels");

  // --- program-name prompt
  std::string name = "left over";
  RECT place{};
  bool focused = false;
  result = WithUser([&] { return host.RunProgramNamePrompt(name); }, [&] {
    HWND prompt = WaitWindow("Program Name");
    if (!prompt) return;
    GetWindowRect(prompt, &place);
    HWND edit = GetDlgItem(prompt, 1000);
    GUITHREADINFO info{};
    info.cbSize = sizeof info;
    focused = GetGUIThreadInfo(GetWindowThreadProcessId(prompt, nullptr), &info) && info.hwndFocus == edit;
    Type(edit, std::string(70, 'P'));
    PostMessageA(prompt, WM_COMMAND, IDOK, 0);
  });
  Check(result == 1 && name == std::string(63, 'P'), "a typed name is kept to 63 characters");
  Check(focused, "the prompt starts with the focus in its field");
  RECT frameRect{};
  GetWindowRect(frame, &frameRect);
  int wantLeft = frameRect.left + (frameRect.right - frameRect.left) / 2 - (place.right - place.left) / 2;
  int wantTop = frameRect.top + (frameRect.bottom - frameRect.top) / 2 - (place.bottom - place.top) / 2;
  Check(place.left == wantLeft && place.top == wantTop, "the prompt is centred over the main dialog");
  result = WithUser([&] { return host.RunProgramNamePrompt(name); }, [&] {
    HWND prompt = WaitWindow("Program Name");
    if (prompt) PostMessageA(prompt, WM_COMMAND, IDOK, 0);
  });
  Check(result == 0 && name.empty(), "an empty name ends the prompt with 0");
  result = WithUser([&] { return host.RunProgramNamePrompt(name); }, [&] {
    HWND prompt = WaitWindow("Program Name");
    if (!prompt) return;
    Type(GetDlgItem(prompt, 1000), "PROG1");
    PostMessageA(prompt, WM_COMMAND, IDCANCEL, 0);
  });
  Check(result == 0, "Cancel ends the prompt with 0");

  // --- file choosers (common dialogs; the file name field is cmb13 / edt1)
  auto answerFileDialog = [](const char* caption, const std::string& path, bool cancel) {
    return [caption, path, cancel] {
      HWND dialog = WaitWindow(caption);
      if (!dialog) return;
      Sleep(300);
      if (cancel) {
        PostMessageA(dialog, WM_COMMAND, IDCANCEL, 0);
        return;
      }
      HWND field = GetDlgItem(dialog, 0x47c);
      if (!field) field = GetDlgItem(dialog, 0x480);
      SetWindowTextA(field, path.c_str());
      PostMessageA(dialog, WM_COMMAND, IDOK, 0);
    };
  };
  quillon::FileFilter files = {{"ALL Files (*.*)", "*.*"}};
  std::string chosen = "previous.txt";
  bool picked = false;
  WithUser([&] { picked = host.ChooseOpenFile(chosen, files, ".\\"); return 0; },
           answerFileDialog("Open", existing, false));
  Check(picked && _stricmp(chosen.c_str(), existing.c_str()) == 0, "the open dialog returns the chosen path");
  chosen = "kept.txt";
  WithUser([&] { picked = host.ChooseOpenFile(chosen, files, ".\\"); return 0; },
           answerFileDialog("Open", "", true));
  Check(!picked && chosen == "kept.txt", "cancelling the open dialog leaves the name as it was");
  char temp[MAX_PATH] = {};
  GetTempPathA(sizeof temp, temp);
  std::string target = std::string(temp) + "quillon_dialog_check.bin";
  DeleteFileA(target.c_str());
  chosen.clear();
  WithUser([&] { picked = host.ChooseSaveFile(chosen, files); return 0; },
           answerFileDialog("Save As", target, false));
  Check(picked && _stricmp(chosen.c_str(), target.c_str()) == 0, "the save dialog returns a new path");

  DestroyWindow(frame);
  std::printf("%d failure(s)\n", g_failures);
  return g_failures == 0 ? 0 : 1;
}
