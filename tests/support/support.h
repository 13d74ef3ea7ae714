// The tests' one set of helpers: scratch directories and files, the quillon
// program as a child process, the simulator in-process on its own pty, and a
// recording host that is also an engine observer. Every wait has a deadline.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "core/app/dialog_host.h"
#include "core/jobs.h"
#include "core/protocol/parser.h"
#include "platform/host_os.h"
#include "sim/sim_line.h"

#define QUILLON_PROGRAM QUILLON_BINARY_DIR "/src/cli/quillon"
#define QUILLON_IMAGES QUILLON_BINARY_DIR "/src/resources/"

namespace quillon::test {

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start);
// Checks cond every 5 ms until it holds or the seconds pass; its last value.
bool WaitFor(const std::function<bool()>& cond, double seconds);

std::string ReadFile(const std::string& path);  // empty when missing
void WriteFile(const std::string& path, const std::string& bytes);
bool Exists(const std::string& path);
std::string RandomBytes(size_t count, unsigned seed);
// A table row's test name: its index and its text, with '_' for the rest.
std::string RowName(size_t index, const std::string& text);
// A fresh private directory, removed with everything in it at the end.
struct TempDir {
  TempDir();
  ~TempDir();
  std::string operator/(const std::string& name) const { return path + "/" + name; }
  std::string path;
};

// A program run with stdin from a file (/dev/null unless given) and its
// output in files.
class Child {
 public:
  Child(const std::vector<std::string>& args, const std::string& dir,
        const std::string& input = "/dev/null");
  ~Child();  // kills a child still running
  // Reaps the child; false (and the child killed) when it did not end in time.
  bool Wait(double seconds);
  bool HasOpen(const std::string& path) const;  // one of its descriptors names path
  std::string Out() const { return ReadFile(outPath_); }
  std::string Err() const { return ReadFile(errPath_); }
  pid_t pid = -1;
  int code = -1;          // exit code, or 128 + the signal that ended it
  double cpuSeconds = 0;  // user and system time of the whole run
  Clock::time_point ended;

 private:
  std::string program_, outPath_, errPath_;
};

struct Result {
  int code = -1;
  std::string out, err;
  double seconds = 0;
};
// The quillon program with args split at blanks; run in dir until it ends.
std::vector<std::string> QuillonArgs(const std::string& args);
Result RunQuillon(const std::string& args, const std::string& dir, double timeout = 60);
// Any program, args[0] its path, run in dir until it ends.
Result RunArgs(const std::vector<std::string>& args, const std::string& dir, double timeout = 60);

// The readout, in-process on a pty, with quillon-sim's options as on its
// command line (those the tests use). Its store is dir/store, a saved image
// dir/image.bin.
class Sim {
 public:
  Sim(const std::string& args, const std::string& dir);
  ~Sim();
  const std::string& Path() const { return line_->Path(); }
  sim::SimLine& Line() { return *line_; }
  // The readout goes away: the loop ends and the pty's master is closed.
  void Close();

 private:
  std::unique_ptr<sim::SimLine> line_;
};

// A dialog host that records what the dialog shows and answers what it
// asks, and the engine's observer for unit tests; posted messages wait in
// a queue for the test's own loop.
class TestHost : public DialogHost, public EngineObserver {
 public:
  // With a fake clock the tick moves only by `tick`; otherwise it is real.
  explicit TestHost(bool fakeClock = false);
  std::atomic<uint32_t> tick{1000};

  // Runs posted messages through dispatch and calls timer every 100 ms of
  // the tick until done holds or the seconds pass; done's last value.
  bool Loop(const std::function<bool()>& done, double seconds,
            const std::function<void(UiMessage)>& dispatch, const std::function<void()>& timer);
  std::vector<PacketPtr> TakePackets();
  std::vector<std::string> Lines();
  std::vector<std::string> Boxes();

  struct Control {
    std::string text;
    bool enabled = true, shown = true;
  };
  std::map<int, Control> controls;
  std::deque<std::string> fileAnswers;  // the choosers' answers, in order; none: cancel
  std::deque<int> answers;              // the Yes/No questions' answers, in order; none: Yes
  unsigned lastStyle = 0;               // the style of the last box
  int ended = -1;                       // the dialog's result once ended
  std::map<int, int> slots;             // the picture last drawn in each slot
  std::string programName;              // typed into the program-name prompt
  std::set<size_t> selected;            // the log lines selected in the list
  int detectedPort = 0;                 // the bridge's port as the system records it
  int portDialogs = 0;                  // the port-number dialog was shown
  std::string viewed;                   // the file last opened in the viewer
  bool invalidated = false;
  int beeps = 0;
  std::atomic<bool> stripShown{false};  // the progress strip is on screen

  // Host
  uint32_t TickCount() override;
  void Sleep(uint32_t ms) override;
  void Post(UiMessage message) override;
  std::string SystemErrorText(int code) override;
  std::FILE* CreateNewFile(const std::string& path) override {
    return platform::CreateNewFile(path);
  }
  long ProcessId() override { return platform::CurrentProcessId(); }
  bool ProcessRunning(long pid) override { return platform::ProcessRunning(pid); }
  // DialogHost
  void SetControlText(int id, const std::string& text) override { controls[id].text = text; }
  std::optional<std::string> GetControlText(int id) override;
  void EnableControl(int id, bool enabled) override { controls[id].enabled = enabled; }
  bool IsControlEnabled(int id) override { return controls[id].enabled; }
  void ShowControl(int id, bool shown) override { controls[id].shown = shown; }
  void OnLogLineAdded(const std::string& line) override;
  void OnLogCleared() override {}
  bool IsLogLineSelected(size_t index) override { return selected.count(index) > 0; }
  void CreateProgressStrip(uint32_t, bool) override { stripShown = true; }
  void SetProgressPosition(uint32_t) override {}
  void AdvanceProgressStrip(uint32_t) override {}
  void DestroyProgressStrip() override { stripShown = false; }
  int ShowMessageBox(const std::string& text, const std::string& caption, unsigned style,
                     bool owned) override;
  void Beep() override { ++beeps; }
  bool ChooseOpenFile(std::string& name, const FileFilter&, const std::string&) override;
  bool ChooseSaveFile(std::string& name, const FileFilter&) override;
  int RunProgramNamePrompt(std::string& name) override;
  int RunPortNumberDialog(int&) override {
    ++portDialogs;
    return 0;
  }
  void Invalidate(bool) override { invalidated = true; }
  void DrawPicture(int slot, int picture) override { slots[slot] = picture; }
  void DrawIndicator(int) override {}
  void EndDialog(int result) override { ended = result; }
  int DetectPortNumber() override { return detectedPort; }
  bool CreateTempFile(const std::string& prefix, std::string& path) override;
  void OpenInViewer(const std::string& path) override { viewed = path; }
  // EngineObserver
  void OnLogLine(const std::string& line) override { OnLogLineAdded(line); }
  void OnProgress(const ProgressEvent&) override {}
  void OnPortWaitFailed() override {}
  void OnJobEnd(const JobEnd&) override {}
  void OnFlashEraseResult(const std::string&) override {}
  void OnPacket(uint16_t) override {}
  void OnPortLost() override {}

 private:
  const bool fakeClock_;
  const Clock::time_point start_ = Clock::now();
  std::mutex mutex_;
  std::condition_variable posted_;
  std::deque<UiMessage> posts_;
  std::vector<std::string> lines_, boxes_;
};

}  // namespace quillon::test
