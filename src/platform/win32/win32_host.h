// The main dialog as the core's Host: controls by identifier, the event-log
// list, the progress strip, message boxes, file dialogs, the small modal
// dialogs, drawing, registry and SetupAPI port detection, and the hand-off
// of work from other threads to the dialog's thread.
#pragma once

#include <windows.h>

#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "core/app/dialog_host.h"

namespace quillon::win32 {

// Private messages of the dialog. They sit above WM_APP: the WM_USER range
// of a dialog belongs to the dialog manager (DM_SETDEFID is WM_USER + 1).
constexpr UINT WM_APP_UI_MESSAGE = WM_APP + 1;  // lParam: UiMessage* (heap)
constexpr UINT WM_APP_LOG_SYNC = WM_APP + 2;    // new event-log lines to show
constexpr UINT WM_APP_PROGRESS = WM_APP + 3;    // wParam: ProgressOp, lParam: value
constexpr UINT WM_APP_CONTROL = WM_APP + 4;     // lParam: ControlChange* (heap)

// Resource numbers of the dialog layouts.
constexpr int IDD_MAIN = 101;
constexpr int IDD_PROGRAM_NAME = 103;
constexpr int IDD_SERVICE = 104;
constexpr int IDD_PORT_NUMBER = 308;

// The ten guide pictures, in the order they are loaded.
inline constexpr int GUIDE_PICTURES[10] = {120, 121, 122, 123, 124, 138, 139, 140, 142, 143};

// Picture slots in dialog units, beside the upper and lower texts. At 96 dpi
// with Arial 10 they land on the pixel places (296, 60) and (296, 160).
constexpr int SLOT_X_DU = 169;
constexpr int SLOT1_Y_DU = 30;
constexpr int SLOT2_Y_DU = 80;
constexpr int PICTURE_WIDTH = 87;
constexpr int PICTURE_HEIGHT = 68;

// Parses a port name such as "COM12": the first three characters are
// skipped whatever they are, then a decimal number is read (0 when none).
int PortNumberFromName(const char* name);
// True when a device's hardware id names the readout's USB bridge.
bool IsBridgeHardwareId(const std::string& hardwareId);

class Win32Host : public DialogHost {
 public:
  explicit Win32Host(HINSTANCE instance);
  ~Win32Host() override;

  // --- wiring by the dialog program ------------------------------------------
  // First thing at WM_INITDIALOG: records the dialog, measures it, creates
  // pens, brushes and loads the pictures.
  void AttachDialog(HWND dialog);
  HWND Dialog() const { return dialog_.load(); }
  // Where the event log's lines come from when the list is refilled.
  void SetLogSource(std::function<std::vector<std::string>()> source) { logSource_ = std::move(source); }
  // The service panel (modeless) carrying list 1002 and the maintenance
  // controls; null when it is closed.
  void AttachServicePanel(HWND panel);
  HWND ServicePanel() const { return panel_.load(); }
  // The paint context while a WM_PAINT is being handled (null otherwise).
  void SetPaintDc(HDC dc) { paintDc_ = dc; }
  // Handles the host's own posted messages; true when msg was one of them.
  bool HandlePrivateMessage(UINT msg, WPARAM wParam, LPARAM lParam);
  // Shows the event-log lines not yet in the list (UI thread).
  void SyncLogList();
  // The list resize of WM_SIZE (restored or maximised).
  void ResizeList(int newWidth, int newHeight);
  // True when the control identifier lives on the service panel.
  static bool IsPanelControl(int id);

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
  bool CreateTempFile(const std::string& prefix, std::string& path) override;
  void OpenInViewer(const std::string& path) override;

 private:
  enum ProgressOp : WPARAM { PROGRESS_CREATE16, PROGRESS_CREATE32, PROGRESS_SET, PROGRESS_ADVANCE, PROGRESS_DESTROY };
  // A change of a control asked for on another thread, carried out on the
  // dialog's: a worker that waited for the dialog could deadlock it.
  struct ControlChange {
    enum Kind { TEXT, ENABLE, SHOW } kind;
    int id;
    std::string text;
    bool flag;
  };
  void ApplyControlChange(const ControlChange& change);
  bool PostControlChange(ControlChange change);
  HWND Control(int id) const;
  bool OnUiThread() const { return GetCurrentThreadId() == uiThread_.load(); }
  void DoProgress(ProgressOp op, uint32_t value);
  void ProgressFromAnyThread(ProgressOp op, uint32_t value);

  HINSTANCE instance_;
  std::atomic<HWND> dialog_{nullptr};
  std::atomic<DWORD> uiThread_{0};
  std::atomic<HWND> panel_{nullptr};
  HDC paintDc_ = nullptr;       // UI thread only
  HWND progressStrip_ = nullptr;  // UI thread only
  int clientWidth_ = 0, clientHeight_ = 0, listWidth_ = 0, listHeight_ = 0;
  HPEN pens_[3] = {};      // black, red, green
  HBRUSH brushes_[3] = {};
  std::map<int, HBITMAP> pictures_;
  std::function<std::vector<std::string>()> logSource_;
  std::atomic<bool> logSyncPosted_{false};
  std::string portNumberText_;  // control 1000's text, kept for the panel
};

// The dialog procedures of the two small modal dialogs.
INT_PTR CALLBACK PortDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK ProgramNamePrompt(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

}  // namespace quillon::win32
