// The main dialog as the dialog layer's host, one file per job:
// win32_host.cpp the dialog, its pages and controls (by identifier, the
// event-log list, the progress strip, drawing); win32_boxes.cpp message
// boxes, file dialogs and the small modal dialogs; win32_handover.cpp the
// queue that hands work from other threads to the dialog's thread;
// win32_host_system.cpp the system's services (the bridge's port, error
// texts, the temporary file and its viewer).
#pragma once

#include <windows.h>

#include <atomic>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <variant>
#include <vector>

#include "core/app/dialog_host.h"
#include "platform/host_os.h"

namespace quillon::win32 {

// The host's one private message: work handed over by other threads waits
// in the host's queue. It sits above WM_APP: the WM_USER range of a dialog
// belongs to the dialog manager (DM_SETDEFID is WM_USER + 1).
constexpr UINT WM_APP_WAKE = WM_APP + 1;

// Resource numbers of the dialog layouts.
constexpr int IDD_MAIN = 101;
constexpr int IDD_PROGRAM_NAME = 103;
constexpr int IDD_SERVICE = 104;
constexpr int IDD_PORT_NUMBER = 308;
// The port number's field (and the small dialogs' edit field), and the
// event-log list.
constexpr int ID_EDIT = 1000;
constexpr int ID_LIST = 1002;

// The ten guide pictures, in the order they are loaded.
inline constexpr int GUIDE_PICTURES[10] = {120, 121, 122, 123, 124, 138, 139, 140, 142, 143};

// Picture slots in dialog units, beside the upper and lower texts. At 96 dpi
// with Arial 10 they land on the pixel places (296, 60) and (296, 160).
constexpr int SLOT_X_DU = 169;
constexpr int SLOT1_Y_DU = 30;
constexpr int SLOT2_Y_DU = 80;
constexpr int PICTURE_WIDTH = 87;
constexpr int PICTURE_HEIGHT = 68;

class Win32Host : public DialogHost {
 public:
  explicit Win32Host(HINSTANCE instance);
  ~Win32Host() override;
  Win32Host(const Win32Host&) = delete;
  Win32Host& operator=(const Win32Host&) = delete;

  // --- wiring by the dialog program ------------------------------------------
  // First thing at WM_INITDIALOG: records the dialog and its thread, measures
  // it, creates pens, brushes and loads the pictures.
  void AttachDialog(HWND dialog);
  HWND Dialog() const { return dialog_.load(); }
  // The event log's kept lines from a line number on, for showing only what
  // is new, and in *dropped how many of its oldest lines it has let go.
  using LogSource = std::function<std::vector<std::string>(uint64_t from, uint64_t* dropped)>;
  void SetLogSource(LogSource source) { logSource_ = std::move(source); }
  // Where posted messages are handed, on the dialog's thread.
  void SetMessageHandler(std::function<void(UiMessage)> handler) { handler_ = std::move(handler); }
  // The service panel (modeless) carrying list 1002 and the maintenance
  // controls; null when it is closed.
  void AttachServicePanel(HWND panel);
  HWND ServicePanel() const { return panel_.load(); }
  // The paint context while a WM_PAINT is being handled (null otherwise).
  void SetPaintDc(HDC dc) { paintDc_ = dc; }
  // Handles the host's own posted message; true when msg was it.
  bool HandlePrivateMessage(UINT msg);
  // Carries out, in order, what other threads handed over (dialog's thread;
  // on the wake message and on every timer tick, so nothing waits on a
  // post that the system refused).
  void DeliverPending();
  // The list resize of WM_SIZE (restored or maximised).
  void ResizeList(int newWidth, int newHeight);
  // True when the control identifier lives on the service panel.
  static bool IsPanelControl(int id);
  // True while a message box or dialog of the program is open. Commands
  // that arrive then are not taken: the operation that opened the box is
  // still under way on this thread.
  bool InModal() const { return modalDepth_ > 0; }

  // --- Host ------------------------------------------------------------------
  uint32_t TickCount() override { return GetTickCount(); }
  void Sleep(uint32_t ms) override { ::Sleep(ms); }
  void SetControlText(int id, const std::string& text) override;
  std::optional<std::string> GetControlText(int id) override;
  void EnableControl(int id, bool enabled) override;
  bool IsControlEnabled(int id) override;
  void ShowControl(int id, bool shown) override;
  void OnLogLineAdded(const std::string& line) override;
  void OnLogCleared() override;
  bool IsLogLineSelected(size_t index) override;
  void CreateProgressStrip(uint32_t maximum, bool form32) override;
  void SetProgressPosition(uint32_t position) override;
  void AdvanceProgressStrip(uint32_t n) override;
  void DestroyProgressStrip() override;
  int ShowMessageBox(const std::string& text, const std::string& caption, unsigned style,
                     bool owned) override;
  void Beep() override { MessageBeep(0); }
  bool ChooseOpenFile(std::string& name, const FileFilter& filter,
                      const std::string& initialDir) override;
  bool ChooseSaveFile(std::string& name, const FileFilter& filter) override;
  int RunProgramNamePrompt(std::string& name) override;
  int RunPortNumberDialog(int& number) override;
  void Invalidate(bool erase) override;
  void DrawPicture(int slot, int picture) override;
  void DrawIndicator(int state) override;
  void EndDialog(int result) override;
  int DetectPortNumber() override;
  void Post(UiMessage message) override;
  std::string SystemErrorText(int code) override;
  std::FILE* CreateNewFile(const std::string& path) override {
    return platform::CreateNewFile(path);
  }
  long ProcessId() override { return platform::CurrentProcessId(); }
  bool ProcessRunning(long pid) override { return platform::ProcessRunning(pid); }
  bool CreateTempFile(const std::string& prefix, std::string& path) override;
  void OpenInViewer(const std::string& path) override;

 private:
  enum ProgressOp {
    PROGRESS_CREATE16,
    PROGRESS_CREATE32,
    PROGRESS_SET,
    PROGRESS_ADVANCE,
    PROGRESS_DESTROY
  };
  struct ProgressStep {
    ProgressOp op;
    uint32_t value;
  };
  // A change of a control asked for on another thread, carried out on the
  // dialog's: a worker that waited for the dialog could deadlock it.
  struct ControlChange {
    enum Kind { TEXT, ENABLE, SHOW } kind;
    int id;
    std::string text;
    bool flag;
  };
  using Pending = std::variant<UiMessage, ControlChange, ProgressStep>;
  class ModalScope;

  void ApplyControlChange(const ControlChange& change);
  void ChangeControl(ControlChange change);
  HWND Control(int id) const;
  bool OnUiThread() const { return GetCurrentThreadId() == uiThread_.load(); }
  void DoProgress(ProgressStep step);
  void Progress(ProgressOp op, uint32_t value);
  // Queues work for the dialog's thread and makes sure it will look.
  void QueueForDialogThread(Pending item);
  void Deliver(Pending& item);
  void Wake();
  void SyncLogList();

  HINSTANCE instance_;
  std::atomic<HWND> dialog_{nullptr};
  std::atomic<DWORD> uiThread_{0};
  std::atomic<HWND> panel_{nullptr};
  HHOOK keyHook_ = nullptr;       // UI thread only
  int modalDepth_ = 0;            // UI thread only
  HDC paintDc_ = nullptr;         // UI thread only
  HWND progressStrip_ = nullptr;  // UI thread only
  uint64_t shownLines_ = 0;       // UI thread only: number of the next log line to list
  uint64_t listFirst_ = 0;        // UI thread only: number of the list's first log line
  int clientWidth_ = 0, clientHeight_ = 0, listWidth_ = 0, listHeight_ = 0;
  HPEN pens_[3] = {};  // black, red, green
  HBRUSH brushes_[3] = {};
  std::map<int, HBITMAP> pictures_;
  LogSource logSource_;
  std::function<void(UiMessage)> handler_;
  std::string portNumberText_;  // control 1000's text, kept for the panel

  std::mutex pendingMutex_;
  std::deque<Pending> pending_;  // under pendingMutex_
  bool wakePosted_ = false;      // under pendingMutex_
  bool logChanged_ = false;      // under pendingMutex_: new lines from another thread
  bool logCleared_ = false;      // under pendingMutex_: a clear from another thread
};

// The dialog procedures of the two small modal dialogs.
INT_PTR CALLBACK PortDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK ProgramNamePrompt(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

}  // namespace quillon::win32
