// The main dialog as the CLI presents it: the core's Host on a terminal.
// Controls are kept as records (the guide reads its texts back from them),
// message boxes are handed to the CLI to print or to ask, file choosers and
// the program-name prompt are answered with what the command line gave, and
// posted messages wait in a queue that the CLI's event loop runs on its one
// UI thread. Every operation is safe from any thread.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "core/app/dialog_host.h"
#include "core/protocol/parser.h"  // ReceivedPacket, for the queue of UiMessages

namespace quillon::cli {

class TerminalHost : public DialogHost {
 public:
  struct Callbacks {
    // A line added to the event log; called on whatever thread logged it.
    std::function<void(const std::string&)> logLine;
    // A message box with an OK button only, shown as its text.
    std::function<void(const std::string& text, unsigned style)> box;
    // A Yes/No question; returns ANSWER_YES or ANSWER_NO.
    std::function<int(const std::string& text)> question;
    std::function<void()> beep;
  };

  struct ShownBox {
    std::string text;
    std::string caption;
    unsigned style = 0;
  };

  struct Strip {
    bool exists = false;
    uint32_t maximum = 0;
    uint32_t position = 0;
    bool form32 = false;
    uint64_t generation = 0;  // counts creations, so a new strip is told from an old one
  };

  explicit TerminalHost(Callbacks callbacks);

  // --- Host ---
  uint32_t TickCount() override;
  void Sleep(uint32_t ms) override;
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
  void Beep() override;
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

  // --- answers the command line gave; each is used once ---
  void SetOpenAnswer(const std::string& path);
  void SetSaveAnswer(const std::string& path);
  void SetProgramName(const std::string& name);

  // --- the event loop's side ---
  // The next posted message, waiting at most until the given time.
  std::optional<UiMessage> WaitMessage(std::chrono::steady_clock::time_point until);
  bool QueueEmpty() const;
  // Whether the page must be drawn again since the last call.
  bool TakeRepaint();
  // Wakes a WaitMessage early (Ctrl-C).
  void Wake();

  // --- what happened ---
  std::vector<ShownBox> Boxes() const;
  size_t BoxCount() const;
  Strip CurrentStrip() const;
  // The last system error code whose text the core asked for (0: none).
  int LastErrorCode() const { return lastErrorCode_.load(); }
  std::optional<int> EndResult() const;
  int IndicatorState() const { return indicator_.load(); }

 private:
  struct Control {
    std::string text;
    bool enabled = true;
    bool shown = true;
  };
  Control* Find(int id);  // mutex_ held

  Callbacks callbacks_;
  const std::chrono::steady_clock::time_point start_;

  mutable std::mutex mutex_;
  std::condition_variable posted_;
  std::deque<UiMessage> queue_;
  bool woken_ = false;
  std::map<int, Control> controls_;
  std::vector<ShownBox> boxes_;
  Strip strip_;
  std::optional<std::string> openAnswer_;
  std::optional<std::string> saveAnswer_;
  std::optional<std::string> programName_;
  std::optional<int> endResult_;
  std::atomic<bool> repaint_{false};
  std::atomic<int> lastErrorCode_{0};
  std::atomic<int> indicator_{0};
};

}  // namespace quillon::cli
