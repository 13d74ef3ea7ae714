// The main dialog as the dialog layer's host: controls, boxes, choosers, drawing, hand-offs.
#include "platform/win32/win32_host.h"

#include <commctrl.h>
#include <commdlg.h>
#include <setupapi.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <optional>
#include <utility>

#include "core/app/port_selection.h"
#include "core/log/event_log.h"
#include "core/protocol/parser.h"  // ReceivedPacket, so a UiMessage can be freed

namespace quillon::win32 {

namespace {

constexpr int ID_EDIT = 1000;
constexpr int ID_LIST = 1002;
constexpr size_t NAME_BUFFER = 256;   // path buffer of the file dialogs
constexpr int PROGRAM_NAME_MAX = 63;  // characters of a program name

// The two kinds of device list that may hold the bridge's COM port.
const GUID kComPortInterface = {
    0x86E0D1E0, 0x8089, 0x11D0, {0x9C, 0xE4, 0x08, 0x00, 0x3E, 0x30, 0x1F, 0x73}};
const GUID kPortsClass = {
    0x4D36E978, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};

// The service panel while it is open, for the keyboard hook below (a hook
// procedure gets no context of its own). Dialog's thread only.
HWND g_keyboardPanel = nullptr;

// The main dialog runs its own modal loop, which only gives the main dialog
// its keyboard handling. This hook gives the panel the same (Tab, Shift+Tab,
// Enter, Escape) for every message the thread takes from its queue, in
// whichever loop takes it.
LRESULT CALLBACK PanelKeyboardHook(int code, WPARAM removal, LPARAM lParam) {
  auto* msg = reinterpret_cast<MSG*>(lParam);
  HWND panel = g_keyboardPanel;
  if (code == HC_ACTION && removal == PM_REMOVE && panel && msg->message >= WM_KEYFIRST &&
      msg->message <= WM_KEYLAST && (msg->hwnd == panel || IsChild(panel, msg->hwnd)) &&
      IsDialogMessageA(panel, msg)) {
    msg->message = WM_NULL;  // handled; the loop that took it does nothing more
  }
  return CallNextHookEx(nullptr, code, removal, lParam);
}

bool IsBridgeHardwareId(const std::string& hardwareId) {
  std::string upper = hardwareId;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return upper.find("VID_10C4&PID_EA60") != std::string::npos;
}

const char* kBridgeKey =
    "SYSTEM\\CurrentControlSet\\Enum\\USB\\Vid_10C4&Pid_EA60&Mi_00\\0001_00\\Device Parameters\\";

// Reads a text value of at most 99 characters; the buffer is always ended,
// also when the stored value carries no terminator of its own.
bool ReadTextValue(HKEY key, const char* value, char (&buffer)[100]) {
  std::memset(buffer, 0, sizeof buffer);
  DWORD size = sizeof buffer - 1;
  return RegQueryValueExA(key, value, nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), &size) ==
         ERROR_SUCCESS;
}

int PortFromRegistryValue(const char* value) {
  HKEY key = nullptr;
  // Read access is all that is needed; asking for more fails for users
  // without administrator rights.
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kBridgeKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return 0;
  char buffer[100];
  int number = ReadTextValue(key, value, buffer) ? ParsePortName(buffer) : 0;
  RegCloseKey(key);
  return number;
}

// Looks through the present devices of one list for the bridge.
int PortFromDeviceList(const GUID& guid, DWORD flags) {
  HDEVINFO devices = SetupDiGetClassDevsA(&guid, nullptr, nullptr, flags);
  if (devices == INVALID_HANDLE_VALUE) return 0;
  int found = 0;
  SP_DEVINFO_DATA info{};
  info.cbSize = sizeof info;
  for (DWORD i = 0; found == 0 && SetupDiEnumDeviceInfo(devices, i, &info); ++i) {
    char ids[1024] = {};
    DWORD type = 0;
    if (!SetupDiGetDeviceRegistryPropertyA(devices, &info, SPDRP_HARDWAREID, &type,
                                           reinterpret_cast<BYTE*>(ids), sizeof ids - 2, nullptr)) {
      continue;
    }
    // A list of texts, each ended by a zero, the list by an empty one.
    bool bridge = false;
    for (const char* id = ids; *id && id < ids + sizeof ids; id += std::strlen(id) + 1) {
      if (IsBridgeHardwareId(id)) bridge = true;
    }
    if (!bridge) continue;
    HKEY key = SetupDiOpenDevRegKey(devices, &info, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
    if (key == INVALID_HANDLE_VALUE) continue;
    char name[100];
    if (ReadTextValue(key, "PortName", name)) found = ParsePortName(name);
    RegCloseKey(key);
  }
  SetupDiDestroyDeviceInfoList(devices);
  return found;
}

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

Win32Host::Win32Host(HINSTANCE instance) : instance_(instance) {}

Win32Host::~Win32Host() {
  if (keyHook_) UnhookWindowsHookEx(keyHook_);
  g_keyboardPanel = nullptr;
  for (auto& [number, bitmap] : pictures_) DeleteObject(bitmap);
  for (HPEN pen : pens_)
    if (pen) DeleteObject(pen);
  for (HBRUSH brush : brushes_)
    if (brush) DeleteObject(brush);
}

void Win32Host::AttachDialog(HWND dialog) {
  dialog_.store(dialog);
  uiThread_.store(GetCurrentThreadId());
  if (!keyHook_)
    keyHook_ = SetWindowsHookExA(WH_GETMESSAGE, PanelKeyboardHook, nullptr, GetCurrentThreadId());
  const COLORREF colours[3] = {RGB(0, 0, 0), RGB(255, 0, 0), RGB(0, 255, 0)};
  for (int i = 0; i < 3; ++i) {
    if (!pens_[i]) pens_[i] = CreatePen(PS_SOLID, 1, colours[i]);
    if (!brushes_[i]) brushes_[i] = CreateSolidBrush(colours[i]);
  }
  for (int number : GUIDE_PICTURES) {
    if (pictures_.count(number)) continue;
    HBITMAP bitmap = LoadBitmapA(instance_, MAKEINTRESOURCEA(number));
    if (bitmap) pictures_[number] = bitmap;  // a missing picture is not drawn
  }
  RECT client{};
  GetClientRect(dialog, &client);
  clientWidth_ = client.right - client.left;
  clientHeight_ = client.bottom - client.top;
  HWND list = GetDlgItem(dialog, ID_LIST);
  RECT outer{};
  if (list && GetWindowRect(list, &outer)) {
    listWidth_ = outer.right - outer.left;
    listHeight_ = outer.bottom - outer.top;
  }
}

bool Win32Host::IsPanelControl(int id) {
  switch (id) {
    case 1000:
    case 1001:
    case 1002:
    case 1003:
    case 1004:
    case 1005:
    case 1006:
    case 1007:
    case 1008:
    case 1014:
    case 1015:
    case 1018:
    case 1019:
    case 1021:
    case 1022:
    case 1023:
    case 1024:
    case 1025:
      return true;
    default:
      return false;
  }
}

void Win32Host::AttachServicePanel(HWND panel) {
  panel_.store(panel);
  g_keyboardPanel = panel;
  if (!panel) return;
  if (modalDepth_ > 0) EnableWindow(panel, FALSE);
  SetDlgItemTextA(panel, ID_EDIT, portNumberText_.c_str());
  HWND list = GetDlgItem(panel, ID_LIST);
  if (list) SendMessageA(list, LB_RESETCONTENT, 0, 0);
  shownLines_ = listFirst_ = 0;
  SyncLogList();
}

HWND Win32Host::Control(int id) const {
  if (IsPanelControl(id)) {
    HWND panel = panel_.load();
    return panel ? GetDlgItem(panel, id) : nullptr;
  }
  HWND dialog = dialog_.load();
  return dialog ? GetDlgItem(dialog, id) : nullptr;
}

void Win32Host::ChangeControl(ControlChange change) {
  if (OnUiThread()) {
    ApplyControlChange(change);
  } else {
    Hand(std::move(change));
  }
}

void Win32Host::ApplyControlChange(const ControlChange& change) {
  switch (change.kind) {
    case ControlChange::TEXT: {
      if (change.id == ID_EDIT) portNumberText_ = change.text;
      HWND control = Control(change.id);
      // The page is set again on every paint; an unchanged text is left
      // alone so its control does not redraw (and flicker) each time.
      if (control && GetControlText(change.id) != change.text)
        SetWindowTextA(control, change.text.c_str());
      break;
    }
    case ControlChange::ENABLE:
      if (HWND control = Control(change.id)) EnableWindow(control, change.flag ? TRUE : FALSE);
      break;
    case ControlChange::SHOW:
      if (HWND control = Control(change.id)) ShowWindow(control, change.flag ? SW_SHOW : SW_HIDE);
      break;
  }
}

void Win32Host::SetControlText(int id, const std::string& text) {
  ChangeControl({ControlChange::TEXT, id, text, false});
}

std::optional<std::string> Win32Host::GetControlText(int id) {
  HWND control = Control(id);
  if (!control) return std::nullopt;
  int length = GetWindowTextLengthA(control);
  std::string text(static_cast<size_t>(std::max(length, 0)) + 1, '\0');
  int got = GetWindowTextA(control, text.data(), static_cast<int>(text.size()));
  text.resize(static_cast<size_t>(std::max(got, 0)));
  return text;
}

void Win32Host::EnableControl(int id, bool enabled) {
  ChangeControl({ControlChange::ENABLE, id, std::string(), enabled});
}

bool Win32Host::IsControlEnabled(int id) {
  HWND control = Control(id);
  return control && IsWindowEnabled(control);
}

void Win32Host::ShowControl(int id, bool shown) {
  ChangeControl({ControlChange::SHOW, id, std::string(), shown});
}

// Lines are taken from the core's log on the dialog's thread. A worker only
// marks that there are new ones: were it to send to the list and wait, a
// dialog thread that is joining that worker at shutdown would never answer.
void Win32Host::OnLogLineAdded(const std::string&) {
  if (OnUiThread()) {
    SyncLogList();
    return;
  }
  {
    std::lock_guard<std::mutex> lock(pendingMutex_);
    logChanged_ = true;
  }
  Wake();
}

void Win32Host::OnLogCleared() {
  if (!OnUiThread()) {
    {
      std::lock_guard<std::mutex> lock(pendingMutex_);
      logCleared_ = true;
    }
    Wake();
    return;
  }
  HWND panel = panel_.load();
  if (HWND list = panel ? GetDlgItem(panel, ID_LIST) : nullptr)
    SendMessageA(list, LB_RESETCONTENT, 0, 0);
  shownLines_ = listFirst_ = 0;
}

// Appends the lines the list does not show yet; the rest of the log is not
// copied again, so a long log with raw logging on stays cheap to follow.
// When the log has let its oldest lines go, the list is filled again from
// the oldest line kept, under a line that says how many went before: the
// log drops a quarter at a time, so this happens seldom and the list stays
// as bounded as the log.
void Win32Host::SyncLogList() {
  HWND panel = panel_.load();
  HWND list = panel ? GetDlgItem(panel, ID_LIST) : nullptr;
  if (!list || !logSource_) return;
  uint64_t dropped = 0;
  std::vector<std::string> lines = logSource_(shownLines_, &dropped);
  const bool refill = dropped > listFirst_;
  if (refill) {
    lines = logSource_(0, &dropped);
    SendMessageA(list, WM_SETREDRAW, FALSE, 0);
    SendMessageA(list, LB_RESETCONTENT, 0, 0);
    const std::string note = DroppedLinesText(dropped);
    SendMessageA(list, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(note.c_str()));
    listFirst_ = shownLines_ = dropped;
  }
  LRESULT last = -1;
  for (const std::string& line : lines) {
    last = SendMessageA(list, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(line.c_str()));
  }
  shownLines_ += lines.size();
  if (refill) {
    SendMessageA(list, WM_SETREDRAW, TRUE, 0);
    InvalidateRect(list, nullptr, TRUE);
  }
  if (last >= 0) SendMessageA(list, LB_SETTOPINDEX, static_cast<WPARAM>(last), 0);
}

bool Win32Host::IsLogLineSelected(size_t number) {
  HWND panel = panel_.load();
  HWND list = panel ? GetDlgItem(panel, ID_LIST) : nullptr;
  if (!list || number < listFirst_) return false;
  // Below the note on dropped lines, when the list has one.
  uint64_t index = number - listFirst_ + (listFirst_ > 0 ? 1 : 0);
  return SendMessageA(list, LB_GETSEL, static_cast<WPARAM>(index), 0) > 0;
}

void Win32Host::ResizeList(int newWidth, int newHeight) {
  HWND dialog = dialog_.load();
  HWND list = dialog ? GetDlgItem(dialog, ID_LIST) : nullptr;
  if (!list) return;
  SetWindowPos(list, nullptr, 0, 0, listWidth_ + newWidth - clientWidth_,
               listHeight_ + newHeight - clientHeight_, SWP_NOMOVE | SWP_NOZORDER);
}

void Win32Host::DoProgress(ProgressStep step) {
  HWND dialog = dialog_.load();
  switch (step.op) {
    case PROGRESS_CREATE16:
    case PROGRESS_CREATE32: {
      if (!dialog) return;
      // One strip at a time: a new one replaces any that is still shown.
      DoProgress({PROGRESS_DESTROY, 0});
      RECT client{};
      GetClientRect(dialog, &client);
      progressStrip_ = CreateWindowExA(0, PROGRESS_CLASSA, "", WS_CHILD | WS_VISIBLE,
                                       client.left + 10, client.bottom - 10, client.right - 20, 10,
                                       dialog, nullptr, instance_, nullptr);
      if (!progressStrip_) return;
      if (step.op == PROGRESS_CREATE16) {
        SendMessageA(progressStrip_, PBM_SETRANGE, 0,
                     static_cast<LPARAM>((step.value & 0xFFFFu) << 16));
      } else {
        SendMessageA(progressStrip_, PBM_SETRANGE32, 0, static_cast<LPARAM>(step.value));
      }
      SendMessageA(progressStrip_, PBM_SETSTEP, 1, 0);
      break;
    }
    case PROGRESS_SET:
      if (progressStrip_) SendMessageA(progressStrip_, PBM_SETPOS, step.value, 0);
      break;
    case PROGRESS_ADVANCE:
      if (progressStrip_) {
        LRESULT position = SendMessageA(progressStrip_, PBM_GETPOS, 0, 0);
        SendMessageA(progressStrip_, PBM_SETPOS, static_cast<WPARAM>(position) + step.value, 0);
      }
      break;
    case PROGRESS_DESTROY:
      // Destroying a strip that is already gone does nothing; the handle is
      // dropped so a later window given the same handle is never destroyed.
      if (progressStrip_ && IsWindow(progressStrip_)) DestroyWindow(progressStrip_);
      progressStrip_ = nullptr;
      break;
  }
}

// Workers move the strip through the queue, for the same reason as the log.
void Win32Host::Progress(ProgressOp op, uint32_t value) {
  if (OnUiThread()) {
    DoProgress({op, value});
  } else {
    Hand(ProgressStep{op, value});
  }
}

void Win32Host::CreateProgressStrip(uint32_t maximum, bool form32) {
  Progress(form32 ? PROGRESS_CREATE32 : PROGRESS_CREATE16, maximum);
}
void Win32Host::SetProgressPosition(uint32_t position) { Progress(PROGRESS_SET, position); }
void Win32Host::AdvanceProgressStrip(uint32_t n) { Progress(PROGRESS_ADVANCE, n); }
void Win32Host::DestroyProgressStrip() { Progress(PROGRESS_DESTROY, 0); }

bool Win32Host::HandlePrivateMessage(UINT msg) {
  if (msg != WM_APP_WAKE) return false;
  DeliverPending();
  return true;
}

void Win32Host::Hand(Pending item) {
  {
    std::lock_guard<std::mutex> lock(pendingMutex_);
    pending_.push_back(std::move(item));
  }
  Wake();
}

// One wake message at a time is enough. Should the system refuse it (a full
// queue), the timer's next tick delivers instead, so nothing is lost.
void Win32Host::Wake() {
  {
    std::lock_guard<std::mutex> lock(pendingMutex_);
    if (wakePosted_) return;
    wakePosted_ = true;
  }
  HWND dialog = dialog_.load();
  if (dialog) PostMessageA(dialog, WM_APP_WAKE, 0, 0);
}

// Delivers what is queued on entry. What comes meanwhile has posted a wake
// of its own, so a steady stream never keeps the dialog from its input.
void Win32Host::DeliverPending() {
  std::optional<size_t> budget;
  for (;;) {
    Pending item;
    bool cleared, changed, any;
    {
      std::lock_guard<std::mutex> lock(pendingMutex_);
      // Cleared before the item is taken: what is handed over from now on
      // asks for a new wake, also while the item below runs a modal box
      // whose loop delivers the next ones.
      wakePosted_ = false;
      cleared = std::exchange(logCleared_, false);
      changed = std::exchange(logChanged_, false);
      if (!budget) budget = pending_.size();
      any = *budget > 0 && !pending_.empty();
      if (any) {
        --*budget;
        item = std::move(pending_.front());
        pending_.pop_front();
      }
    }
    if (cleared) OnLogCleared();
    // Lines logged before the item are shown before it is carried out.
    if (cleared || changed) SyncLogList();
    if (!any) return;
    if (auto* message = std::get_if<UiMessage>(&item)) {
      if (handler_) handler_(std::move(*message));
    } else if (auto* change = std::get_if<ControlChange>(&item)) {
      ApplyControlChange(*change);
    } else {
      DoProgress(std::get<ProgressStep>(item));
    }
  }
}

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

void Win32Host::Invalidate(bool erase) {
  if (HWND dialog = dialog_.load()) InvalidateRect(dialog, nullptr, erase ? TRUE : FALSE);
}

void Win32Host::DrawPicture(int slot, int picture) {
  HWND dialog = dialog_.load();
  auto found = pictures_.find(picture);
  if (!dialog || (found == pictures_.end() && picture != NO_PICTURE) || (slot != 1 && slot != 2))
    return;
  // The slot follows the dialog units of the layout, so the picture stays
  // beside its text at any font size or display scaling.
  RECT place{SLOT_X_DU, slot == 1 ? SLOT1_Y_DU : SLOT2_Y_DU, SLOT_X_DU, 0};
  MapDialogRect(dialog, &place);
  HDC dc = paintDc_ ? paintDc_ : GetDC(dialog);
  if (!dc) return;
  const int dpi = GetDeviceCaps(dc, LOGPIXELSY);
  const int width = MulDiv(PICTURE_WIDTH, dpi, 96);
  const int height = MulDiv(PICTURE_HEIGHT, dpi, 96);
  HDC memory = picture == NO_PICTURE ? nullptr : CreateCompatibleDC(dc);
  if (picture == NO_PICTURE) {
    RECT slotRect{place.left, place.top, place.left + width, place.top + height};
    FillRect(dc, &slotRect, GetSysColorBrush(COLOR_3DFACE));
  } else if (memory) {
    HGDIOBJ old = SelectObject(memory, found->second);
    if (width == PICTURE_WIDTH && height == PICTURE_HEIGHT) {
      BitBlt(dc, place.left, place.top, PICTURE_WIDTH, PICTURE_HEIGHT, memory, 0, 0, SRCCOPY);
    } else {
      SetStretchBltMode(dc, HALFTONE);
      SetBrushOrgEx(dc, 0, 0, nullptr);
      StretchBlt(dc, place.left, place.top, width, height, memory, 0, 0, PICTURE_WIDTH,
                 PICTURE_HEIGHT, SRCCOPY);
    }
    SelectObject(memory, old);
    DeleteDC(memory);
  }
  if (!paintDc_) ReleaseDC(dialog, dc);
}

void Win32Host::DrawIndicator(int state) {
  HWND dialog = dialog_.load();
  if (!dialog || state < 0 || state > 2) return;
  HDC dc = GetDC(dialog);
  if (!dc) return;
  HGDIOBJ oldPen = SelectObject(dc, pens_[state]);
  HGDIOBJ oldBrush = SelectObject(dc, brushes_[state]);
  Rectangle(dc, 10, 1, clientWidth_ - 10, 8);
  SelectObject(dc, oldPen);
  SelectObject(dc, oldBrush);
  ReleaseDC(dialog, dc);
}

void Win32Host::EndDialog(int result) {
  if (HWND dialog = dialog_.load()) ::EndDialog(dialog, result);
}

int Win32Host::DetectPortNumber() {
  int number = PortFromRegistryValue("PortName");
  if (number == 0) number = PortFromRegistryValue("Portname");
  // The fixed key names one instance of the bridge only; any other
  // instance is found among the present devices.
  if (number == 0)
    number = PortFromDeviceList(kComPortInterface, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (number == 0) number = PortFromDeviceList(kPortsClass, DIGCF_PRESENT);
  return number;
}

// Every message goes through the host's queue, so a completion is never
// lost to a refused post and messages keep the order they were sent in.
void Win32Host::Post(UiMessage message) { Hand(std::move(message)); }

std::string Win32Host::SystemErrorText(int code) {
  char* text = nullptr;
  // Inserts are ignored: the system's texts with %1 and the like would
  // otherwise read arguments that are not there.
  DWORD length = FormatMessageA(
      FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, static_cast<DWORD>(code), 1024, reinterpret_cast<char*>(&text), 0, nullptr);
  std::string result = length && text ? std::string(text, length) : std::string();
  if (text) LocalFree(text);
  return result;
}

bool Win32Host::CreateTempFile(const std::string& prefix, std::string& path) {
  char dir[MAX_PATH + 1] = {};
  DWORD length = GetTempPathA(sizeof dir, dir);
  if (length == 0 || length > MAX_PATH) return false;
  char name[MAX_PATH + 1] = {};
  if (!GetTempFileNameA(dir, prefix.empty() ? "qcl" : prefix.c_str(), 0, name)) return false;
  path = name;
  return true;
}

void Win32Host::OpenInViewer(const std::string& path) {
  // Quoted, so a temporary folder with blanks in its name still works.
  std::string command = "notepad \"" + path + "\"";
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = SW_SHOWNORMAL;
  PROCESS_INFORMATION process{};
  if (CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                     &startup, &process)) {
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
  }
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
