// The main dialog as the dialog layer sees it. Each front end with a dialog
// (the Win32 program, the tests' recording fake) implements this; the core
// never touches a window itself.
#pragma once

// The dialog layer: the command line and the simulator are built to use
// the engine only, and stop here if they reach for it.
#ifdef QUILLON_ENGINE_ONLY
#error "core/app is the dialog layer; this program uses the engine only"
#endif

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/host.h"

namespace quillon {

// Message box styles, numbered as the Win32 constants so the dialog host can
// pass them straight through.
enum MessageBoxStyle : unsigned {
  MB_STYLE_OK = 0x0,
  MB_STYLE_YESNO = 0x4,
  MB_STYLE_ICONERROR = 0x10,
  MB_STYLE_ICONQUESTION = 0x20,
  MB_STYLE_ICONWARNING = 0x30,
  MB_STYLE_DEFBUTTON2 = 0x100,  // the second button (No) is the default
};
constexpr int ANSWER_OK = 1;
constexpr int ANSWER_YES = 6;
constexpr int ANSWER_NO = 7;
constexpr int NO_PICTURE = 0;

// A (description, pattern) pair of a file chooser's filter.
using FileFilter = std::vector<std::pair<std::string, std::string>>;

class DialogHost : public Host {
 public:
  // --- controls by identifier; a control the layout lacks is a no-op -------
  virtual void SetControlText(int id, const std::string& text) = 0;
  // nullopt when the layout has no such control.
  virtual std::optional<std::string> GetControlText(int id) = 0;
  virtual void EnableControl(int id, bool enabled) = 0;
  virtual bool IsControlEnabled(int id) = 0;
  virtual void ShowControl(int id, bool shown) = 0;

  // --- event log list (the lines themselves live in the engine's log) -------
  // Called on whatever thread logged the line.
  virtual void OnLogLineAdded(const std::string& line) = 0;
  virtual void OnLogCleared() = 0;
  // Selection state of a line, by its number in the log (counted from the
  // last clear, dropped lines included), for exporting the selected lines.
  virtual bool IsLogLineSelected(size_t number) = 0;

  // --- the progress strip at the bottom edge (any thread) -------------------
  virtual void CreateProgressStrip(uint32_t maximum, bool form32) = 0;
  virtual void SetProgressPosition(uint32_t position) = 0;
  virtual void AdvanceProgressStrip(uint32_t n) = 0;
  virtual void DestroyProgressStrip() = 0;

  // --- user interaction ----------------------------------------------------
  // owned: true when the box has the main dialog as owner.
  virtual int ShowMessageBox(const std::string& text, const std::string& caption, unsigned style,
                             bool owned) = 0;
  virtual void Beep() = 0;
  // name holds the preselected path on entry and the chosen one on success.
  virtual bool ChooseOpenFile(std::string& name, const FileFilter& filter,
                              const std::string& initialDir) = 0;
  virtual bool ChooseSaveFile(std::string& name, const FileFilter& filter) = 0;
  // The program-name prompt: returns its result (0 for cancel, -1 when it
  // could not be shown), the typed text in name.
  virtual int RunProgramNamePrompt(std::string& name) = 0;
  // The port-number dialog: number is shown on entry and updated on OK.
  virtual int RunPortNumberDialog(int& number) = 0;

  // --- drawing -------------------------------------------------------------
  virtual void Invalidate(bool erase) = 0;
  // Draws picture (by resource number) in slot 1 (upper) or 2 (lower);
  // NO_PICTURE fills the slot with the dialog's background.
  virtual void DrawPicture(int slot, int picture) = 0;
  // state: 0 black, 1 red, 2 green.
  virtual void DrawIndicator(int state) = 0;

  // Ends the main dialog with the given result (the process exit code).
  virtual void EndDialog(int result) = 0;
  // The bridge's port number as the platform records it, or 0.
  virtual int DetectPortNumber() = 0;

  // Creates a new, empty temporary file that no one else could have made
  // beforehand (GetTempFileName / mkstemp); false when none can be made.
  virtual bool CreateTempFile(const std::string& prefix, std::string& path) = 0;
  // Opens a file in the platform's text viewer; how is the host's business.
  virtual void OpenInViewer(const std::string& path) = 0;
};

}  // namespace quillon
