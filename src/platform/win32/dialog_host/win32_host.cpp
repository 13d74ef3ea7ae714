// The main dialog as the dialog layer's host: the dialog and its service
// panel, the controls by identifier, the event-log list, the progress strip
// and the guide pages' drawing.
#include "platform/win32/dialog_host/win32_host.h"

#include <commctrl.h>

#include <algorithm>
#include <optional>
#include <utility>

#include "core/log/event_log.h"

namespace quillon::win32 {

namespace {

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

}  // namespace

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
    QueueForDialogThread(std::move(change));
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
    QueueForDialogThread(ProgressStep{op, value});
  }
}

void Win32Host::CreateProgressStrip(uint32_t maximum, bool form32) {
  Progress(form32 ? PROGRESS_CREATE32 : PROGRESS_CREATE16, maximum);
}
void Win32Host::SetProgressPosition(uint32_t position) { Progress(PROGRESS_SET, position); }
void Win32Host::AdvanceProgressStrip(uint32_t n) { Progress(PROGRESS_ADVANCE, n); }
void Win32Host::DestroyProgressStrip() { Progress(PROGRESS_DESTROY, 0); }

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

}  // namespace quillon::win32
