// Test doubles for the core's two interfaces: a recording Host with a
// hand-driven clock, and an in-memory SerialDevice.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "core/app.h"
#include "core/app/dialog_host.h"
#include "core/serial_device.h"

namespace quillon::test {

struct ShownBox {
  std::string text;
  std::string caption;
  unsigned style;
  bool owned;
};

class FakeHost : public DialogHost {
 public:
  FakeHost();

  // --- Host ---
  uint32_t TickCount() override { return tick.load(); }
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
  int DetectPortNumber() override { return detectedPort; }
  void Post(UiMessage message) override;
  std::string SystemErrorText(int code) override;
  bool CreateTempFile(const std::string& prefix, std::string& path) override;
  void OpenInViewer(const std::string& path) override;

  // --- test controls (guarded where threads meet) ---
  std::atomic<uint32_t> tick{1000};
  void Advance(uint32_t ms) { tick.fetch_add(ms); }

  // Layout: controls that exist. Controls not listed are missing.
  void AddControl(int id, const std::string& text = "");
  void AddGuideLayout();  // the guide layout's controls

  // Runs every posted message through the core's router; returns how many.
  size_t Pump(App& app);
  // Waits (bounded, real time) until a message has been posted.
  bool WaitForPost(int timeoutMs);
  size_t PendingPosts();
  std::vector<UiMessage> TakePosts();

  std::vector<std::string> LogLines();  // as the host saw them
  std::vector<ShownBox> Boxes();
  int Beeps() const { return beeps.load(); }
  std::vector<uint32_t> SleepCalls();

  struct Strip {
    uint32_t maximum = 0;
    bool form32 = false;
    uint32_t position = 0;
    bool destroyed = false;
  };
  std::vector<Strip> Strips();  // every strip created, newest last

  // Scripted answers.
  std::deque<int> boxAnswers;                  // default ANSWER_OK / ANSWER_YES
  std::deque<std::optional<std::string>> openAnswers;  // nullopt = cancel
  std::deque<std::optional<std::string>> saveAnswers;
  std::deque<std::pair<int, std::string>> promptAnswers;
  std::deque<std::pair<int, int>> portDialogAnswers;  // result, number
  std::set<size_t> selectedLines;
  int detectedPort = 0;
  bool tempFileFails = false;
  std::string tempDir;

  // Recorded.
  std::vector<std::pair<FileFilter, std::string>> openRequests;  // filter, initial name
  std::vector<std::pair<FileFilter, std::string>> saveRequests;
  std::vector<std::pair<int, int>> pictures;  // slot, picture of the last render
  std::vector<int> indicatorDraws;
  std::vector<bool> invalidations;  // erase flag of each
  std::optional<int> endResult;
  std::vector<std::string> viewed;
  int portDialogRuns = 0;
  int promptRuns = 0;

  struct Control {
    std::string text;
    bool enabled = true;
    bool shown = true;
  };
  std::map<int, Control> controls;

 private:
  mutable std::mutex mutex_;
  std::condition_variable posted_;
  std::deque<UiMessage> posts_;
  std::vector<std::string> logLines_;
  std::vector<ShownBox> boxes_;
  std::vector<Strip> strips_;
  std::vector<uint32_t> sleeps_;
  std::atomic<int> beeps{0};
};

// An in-memory port. The test side injects what the readout sends and reads
// what the core wrote.
class FakeSerialDevice : public SerialDevice {
 public:
  bool Open(const std::string& name, const LineSettings& settings, int* error) override;
  bool IsOpen() const override;
  void CancelWait() override;
  int Close() override;
  bool SetBaudRate(uint32_t baud) override;
  bool Drain(int, int*) override { return true; }
  size_t BytesWaiting() override;
  size_t Read(uint8_t* buffer, size_t max) override;
  size_t Write(const uint8_t* data, size_t length, int* error) override;
  WaitResult WaitForData(int timeoutMs, int* error) override;
  bool GetCts(bool* cts) override;
  void SetDtr(bool on) override;
  void ClearError() override;

  // Test side.
  void Inject(const std::vector<uint8_t>& bytes);
  std::vector<uint8_t> Written();
  std::vector<std::vector<uint8_t>> Writes();  // one entry per Write call
  void ClearWritten();
  std::string name;
  LineSettings settings;
  std::atomic<uint32_t> baud{0};
  std::vector<uint32_t> BaudHistory();
  std::atomic<bool> cts{true};
  std::atomic<bool> ctsFails{false};
  std::atomic<int> openError{0};        // nonzero: Open fails with it
  std::atomic<int> closeError{0};
  std::atomic<bool> writeFails{false};  // writes return 0
  std::atomic<size_t> writeLimit{0};    // nonzero: at most this many per write
  std::atomic<int> clearErrors{0};
  std::atomic<bool> dtr{false};

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  bool open_ = false;
  bool cancelled_ = false;
  std::deque<uint8_t> incoming_;
  std::vector<std::vector<uint8_t>> writes_;
  std::vector<uint32_t> bauds_;
};

class FakeSerialFactory : public SerialFactory {
 public:
  std::shared_ptr<SerialDevice> Create() override;
  std::string PortName(int number) override { return "COM" + std::to_string(number); }
  // The device the next Create returns (made fresh when unset).
  std::shared_ptr<FakeSerialDevice> next;
  std::vector<std::shared_ptr<FakeSerialDevice>> created;
  std::shared_ptr<FakeSerialDevice> Last() { return created.empty() ? nullptr : created.back(); }
};

// Image source backed by byte vectors.
class FakeImageSource : public ImageSource {
 public:
  int Lookup(const std::string& name, const uint8_t** data, size_t* size) override;
  std::map<std::string, std::vector<uint8_t>> images;
  std::map<std::string, int> failures;  // forced error step by name
};

// A fresh App with fakes, for a test's body.
struct Rig {
  FakeHost host;
  FakeSerialFactory factory;
  FakeImageSource images;
  App app{host, factory, &images};
  // Opens a fake port directly (bypassing OpenDevice's pauses and log lines).
  std::shared_ptr<FakeSerialDevice> OpenFakePort();
};

std::vector<uint8_t> Bytes(const std::string& text);

}  // namespace quillon::test
