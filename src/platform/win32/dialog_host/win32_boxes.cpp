// Win32Host's message boxes, file dialogs and the small modal dialogs
// (program name, port number). Each counts as modal while it is open.
#include "platform/win32/dialog_host/win32_host.h"
// After windows.h, which win32_host.h brings: commdlg.h builds on its types.
#include <commdlg.h>

#include <cstring>

namespace quillon::win32 {

namespace {

constexpr size_t NAME_BUFFER = 256;   // path buffer of the file dialogs
constexpr int PROGRAM_NAME_MAX = 63;  // characters of a program name

struct PromptParams {
  HWND mainDialog;
  std::string* name;
};

std::string BuildFilter(const FileFilter& filter) {
  std::string text;
  for (const auto& [description, pattern] : filter) {
    text += description;
    text.push_back('\0');
    text += pattern;
    text.push_back('\0');
  }
  text.push_back('\0');
  return text;
}

bool RunFileDialog(HWND owner, std::string& name, const FileFilter& filter, const char* initialDir,
                   DWORD flags, bool save) {
  char buffer[NAME_BUFFER] = {};
  // The previous path is offered as the initial name; a longer one is cut.
  std::strncpy(buffer, name.c_str(), NAME_BUFFER - 1);
  std::string filterText = BuildFilter(filter);
  OPENFILENAMEA request{};
  request.lStructSize = sizeof request;
  request.hwndOwner = owner;
  request.lpstrFilter = filterText.c_str();
  request.nFilterIndex = 1;
  request.lpstrFile = buffer;
  request.nMaxFile = NAME_BUFFER;
  request.lpstrInitialDir = initialDir;
  request.Flags = flags;
  BOOL chosen = save ? GetSaveFileNameA(&request) : GetOpenFileNameA(&request);
  if (!chosen) return false;
  name = buffer;
  return true;
}

}  // namespace

// Counts the program's modal boxes and dialogs. While one is open the panel
// is disabled (it is a window of its own, which the box does not disable)
// and commands are refused, so no command starts inside another's box.
class Win32Host::ModalScope {
 public:
  explicit ModalScope(Win32Host& host) : host_(host) {
    if (host_.modalDepth_++ == 0) EnablePanel(false);
  }
  ~ModalScope() {
    if (--host_.modalDepth_ == 0) EnablePanel(true);
  }
  ModalScope(const ModalScope&) = delete;
  ModalScope& operator=(const ModalScope&) = delete;

 private:
  void EnablePanel(bool on) {
    if (HWND panel = host_.panel_.load()) EnableWindow(panel, on ? TRUE : FALSE);
  }
  Win32Host& host_;
};

int Win32Host::ShowMessageBox(const std::string& text, const std::string& caption, unsigned style,
                              bool owned) {
  ModalScope modal(*this);
  return MessageBoxA(owned ? dialog_.load() : nullptr, text.c_str(), caption.c_str(), style);
}

bool Win32Host::ChooseOpenFile(std::string& name, const FileFilter& filter,
                               const std::string& initialDir) {
  const char* dir = initialDir.empty() ? ".\\" : initialDir.c_str();
  ModalScope modal(*this);
  return RunFileDialog(dialog_.load(), name, filter, dir, 0x1804, false);
}

bool Win32Host::ChooseSaveFile(std::string& name, const FileFilter& filter) {
  ModalScope modal(*this);
  return RunFileDialog(dialog_.load(), name, filter, nullptr, 0x806, true);
}

int Win32Host::RunProgramNamePrompt(std::string& name) {
  PromptParams params{dialog_.load(), &name};
  ModalScope modal(*this);
  // Owned by the main dialog, which it thereby disables while it is open.
  return static_cast<int>(DialogBoxParamA(instance_, MAKEINTRESOURCEA(IDD_PROGRAM_NAME),
                                          params.mainDialog, ProgramNamePrompt,
                                          reinterpret_cast<LPARAM>(&params)));
}

int Win32Host::RunPortNumberDialog(int& number) {
  ModalScope modal(*this);
  return static_cast<int>(DialogBoxParamA(instance_, MAKEINTRESOURCEA(IDD_PORT_NUMBER),
                                          dialog_.load(), PortDialogProc,
                                          reinterpret_cast<LPARAM>(&number)));
}

INT_PTR CALLBACK PortDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG: {
      auto* number = reinterpret_cast<int*>(lParam);
      SetWindowLongPtrA(dialog, DWLP_USER, lParam);
      SetDlgItemInt(dialog, ID_EDIT, static_cast<UINT>(number ? *number : 0), FALSE);
      return FALSE;
    }
    case WM_COMMAND:
      if (LOWORD(wParam) == IDOK) {
        auto* number = reinterpret_cast<int*>(GetWindowLongPtrA(dialog, DWLP_USER));
        BOOL ok = FALSE;
        UINT value = GetDlgItemInt(dialog, ID_EDIT, &ok, FALSE);
        if (number) *number = ok ? static_cast<int>(value) : 0;
        ::EndDialog(dialog, 1);
      } else if (LOWORD(wParam) == IDCANCEL) {
        ::EndDialog(dialog, 0);
      }
      return FALSE;
    case WM_CLOSE:
      ::EndDialog(dialog, 0);
      return FALSE;
    default:
      return FALSE;
  }
}

INT_PTR CALLBACK ProgramNamePrompt(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG: {
      auto* params = reinterpret_cast<PromptParams*>(lParam);
      SetWindowLongPtrA(dialog, DWLP_USER, lParam);
      if (params && params->name) params->name->clear();
      // The name holds 63 characters; the field takes no more.
      SendDlgItemMessageA(dialog, ID_EDIT, EM_LIMITTEXT, PROGRAM_NAME_MAX, 0);
      RECT mine{}, main{};
      if (params && params->mainDialog && GetWindowRect(dialog, &mine) &&
          GetWindowRect(params->mainDialog, &main)) {
        int left = main.left + (main.right - main.left) / 2 - (mine.right - mine.left) / 2;
        int top = main.top + (main.bottom - main.top) / 2 - (mine.bottom - mine.top) / 2;
        SetWindowPos(dialog, nullptr, left, top, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
      }
      SetFocus(GetDlgItem(dialog, ID_EDIT));
      return FALSE;  // the focus is set here
    }
    case WM_COMMAND:
      if (LOWORD(wParam) == IDOK) {
        auto* params = reinterpret_cast<PromptParams*>(GetWindowLongPtrA(dialog, DWLP_USER));
        char text[PROGRAM_NAME_MAX + 1] = {};
        GetDlgItemTextA(dialog, ID_EDIT, text, sizeof text);
        if (params && params->name) *params->name = text;
        ::EndDialog(dialog, text[0] ? 1 : 0);
        return TRUE;
      }
      if (LOWORD(wParam) == IDCANCEL) {
        ::EndDialog(dialog, 0);
        return TRUE;
      }
      return FALSE;
    case WM_CLOSE:
      ::EndDialog(dialog, 0);
      return TRUE;
    default:
      return FALSE;
  }
}

}  // namespace quillon::win32
