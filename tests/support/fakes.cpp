#include "fakes.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>
#include <fstream>

#include "core/app/main_dialog.h"

namespace quillon::test {

FakeHost::FakeHost() {
  const char* dir = std::getenv("TMPDIR");
  tempDir = dir ? dir : "/tmp";
}

void FakeHost::Sleep(uint32_t ms) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    sleeps_.push_back(ms);
  }
  tick.fetch_add(ms);
}

void FakeHost::AddControl(int id, const std::string& text) {
  std::lock_guard<std::mutex> lock(mutex_);
  controls[id] = Control{text, true, true};
}

void FakeHost::AddGuideLayout() {
  for (int id : {IDC_NEXT, IDC_PROMPT, IDC_BACK, IDC_STEP_TITLE, IDC_UPPER_TEXT, IDC_LOWER_TEXT,
                 IDC_CLOSE}) {
    AddControl(id);
  }
}

void FakeHost::SetControlText(int id, const std::string& text) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = controls.find(id);
  if (it != controls.end()) it->second.text = text;
}

std::optional<std::string> FakeHost::GetControlText(int id) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = controls.find(id);
  if (it == controls.end()) return std::nullopt;
  return it->second.text;
}

void FakeHost::EnableControl(int id, bool enabled) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = controls.find(id);
  if (it != controls.end()) it->second.enabled = enabled;
}

bool FakeHost::IsControlEnabled(int id) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = controls.find(id);
  return it != controls.end() && it->second.enabled;
}

void FakeHost::ShowControl(int id, bool shown) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = controls.find(id);
  if (it != controls.end()) it->second.shown = shown;
}

void FakeHost::OnLogLineAdded(const std::string& line) {
  std::lock_guard<std::mutex> lock(mutex_);
  logLines_.push_back(line);
}

void FakeHost::OnLogCleared() {
  std::lock_guard<std::mutex> lock(mutex_);
  logLines_.clear();
}

bool FakeHost::IsLogLineSelected(size_t index) {
  std::lock_guard<std::mutex> lock(mutex_);
  return selectedLines.count(index) > 0;
}

void FakeHost::CreateProgressStrip(uint32_t maximum, bool form32) {
  std::lock_guard<std::mutex> lock(mutex_);
  strips_.push_back(Strip{maximum, form32, 0, false});
}

void FakeHost::SetProgressPosition(uint32_t position) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!strips_.empty() && !strips_.back().destroyed) strips_.back().position = position;
}

void FakeHost::AdvanceProgressStrip(uint32_t n) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!strips_.empty() && !strips_.back().destroyed) strips_.back().position += n;
}

void FakeHost::DestroyProgressStrip() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!strips_.empty()) strips_.back().destroyed = true;
}

int FakeHost::ShowMessageBox(const std::string& text, const std::string& caption, unsigned style,
                         bool owned) {
  std::lock_guard<std::mutex> lock(mutex_);
  boxes_.push_back(ShownBox{text, caption, style, owned});
  if (!boxAnswers.empty()) {
    int answer = boxAnswers.front();
    boxAnswers.pop_front();
    return answer;
  }
  return (style & MB_STYLE_YESNO) ? ANSWER_YES : ANSWER_OK;
}

void FakeHost::Beep() { beeps.fetch_add(1); }

bool FakeHost::ChooseOpenFile(std::string& name, const FileFilter& filter,
                              const std::string& initialDir) {
  (void)initialDir;
  openRequests.emplace_back(filter, name);
  if (openAnswers.empty()) return false;
  auto answer = openAnswers.front();
  openAnswers.pop_front();
  if (!answer) return false;
  name = *answer;
  return true;
}

bool FakeHost::ChooseSaveFile(std::string& name, const FileFilter& filter) {
  saveRequests.emplace_back(filter, name);
  if (saveAnswers.empty()) return false;
  auto answer = saveAnswers.front();
  saveAnswers.pop_front();
  if (!answer) return false;
  name = *answer;
  return true;
}

int FakeHost::RunProgramNamePrompt(std::string& name) {
  ++promptRuns;
  if (promptAnswers.empty()) return 0;
  auto answer = promptAnswers.front();
  promptAnswers.pop_front();
  name = answer.second;
  return answer.first;
}

int FakeHost::RunPortNumberDialog(int& number) {
  ++portDialogRuns;
  if (portDialogAnswers.empty()) return 0;
  auto answer = portDialogAnswers.front();
  portDialogAnswers.pop_front();
  if (answer.first != 0) number = answer.second;
  return answer.first;
}

void FakeHost::Invalidate(bool erase) { invalidations.push_back(erase); }
void FakeHost::DrawPicture(int slot, int picture) { pictures.emplace_back(slot, picture); }
void FakeHost::DrawIndicator(int state) { indicatorDraws.push_back(state); }
void FakeHost::EndDialog(int result) { endResult = result; }

void FakeHost::Post(UiMessage message) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    posts_.push_back(std::move(message));
  }
  posted_.notify_all();
}

std::string FakeHost::SystemErrorText(int code) {
  return code == 0 ? std::string() : "system error " + std::to_string(code);
}

bool FakeHost::CreateTempFile(const std::string& prefix, std::string& path) {
  if (tempFileFails) return false;
  static std::atomic<int> serial{0};
  path = tempDir + "/" + prefix + "-fake-" + std::to_string(::getpid()) + "-" +
         std::to_string(serial.fetch_add(1));
  std::ofstream(path, std::ios::binary | std::ios::trunc);
  return true;
}

void FakeHost::OpenInViewer(const std::string& path) { viewed.push_back(path); }

size_t FakeHost::Pump(App& app) {
  size_t count = 0;
  for (;;) {
    UiMessage message;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (posts_.empty()) return count;
      message = std::move(posts_.front());
      posts_.pop_front();
    }
    DispatchUiMessage(app, std::move(message));
    ++count;
  }
}

bool FakeHost::WaitForPost(int timeoutMs) {
  std::unique_lock<std::mutex> lock(mutex_);
  return posted_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                          [&] { return !posts_.empty(); });
}

size_t FakeHost::PendingPosts() {
  std::lock_guard<std::mutex> lock(mutex_);
  return posts_.size();
}

std::vector<UiMessage> FakeHost::TakePosts() {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<UiMessage> out;
  for (auto& m : posts_) out.push_back(std::move(m));
  posts_.clear();
  return out;
}

std::vector<std::string> FakeHost::LogLines() {
  std::lock_guard<std::mutex> lock(mutex_);
  return logLines_;
}

std::vector<ShownBox> FakeHost::Boxes() {
  std::lock_guard<std::mutex> lock(mutex_);
  return boxes_;
}

std::vector<uint32_t> FakeHost::SleepCalls() {
  std::lock_guard<std::mutex> lock(mutex_);
  return sleeps_;
}

std::vector<FakeHost::Strip> FakeHost::Strips() {
  std::lock_guard<std::mutex> lock(mutex_);
  return strips_;
}

// ---------------------------------------------------------------------------

bool FakeSerialDevice::Open(const std::string& portName, const LineSettings& lineSettings,
                            int* error) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (openError.load() != 0) {
    if (error) *error = openError.load();
    return false;
  }
  name = portName;
  settings = lineSettings;
  baud = lineSettings.baudRate;
  bauds_.push_back(lineSettings.baudRate);
  open_ = true;
  cancelled_ = false;
  dtr = true;
  return true;
}

bool FakeSerialDevice::IsOpen() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return open_;
}

void FakeSerialDevice::CancelWait() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    cancelled_ = true;
  }
  changed_.notify_all();
}

int FakeSerialDevice::Close() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    open_ = false;
    cancelled_ = true;
  }
  changed_.notify_all();
  return closeError.load();
}

bool FakeSerialDevice::SetBaudRate(uint32_t rate) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!open_) return false;
  baud = rate;
  bauds_.push_back(rate);
  return true;
}

size_t FakeSerialDevice::BytesWaiting() {
  std::lock_guard<std::mutex> lock(mutex_);
  return open_ ? incoming_.size() : 0;
}

size_t FakeSerialDevice::Read(uint8_t* buffer, size_t max) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!open_) return 0;
  size_t n = 0;
  while (n < max && !incoming_.empty()) {
    buffer[n++] = incoming_.front();
    incoming_.pop_front();
  }
  return n;
}

size_t FakeSerialDevice::Write(const uint8_t* data, size_t length, int* error) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!open_ || writeFails.load()) {
    if (error) *error = 5;
    return 0;
  }
  size_t n = length;
  if (writeLimit.load() != 0 && n > writeLimit.load()) n = writeLimit.load();
  writes_.emplace_back(data, data + n);
  return n;
}

WaitResult FakeSerialDevice::WaitForData(int timeoutMs, int* error) {
  std::unique_lock<std::mutex> lock(mutex_);
  auto ready = [&] { return !incoming_.empty() || cancelled_ || !open_; };
  if (timeoutMs < 0) {
    changed_.wait(lock, ready);
  } else if (!changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), ready)) {
    return WaitResult::TIMEOUT;
  }
  if (!open_) {
    if (error) *error = 6;
    return WaitResult::FAILED;
  }
  if (cancelled_) {
    cancelled_ = false;
    return WaitResult::CANCELLED;
  }
  return WaitResult::DATA;
}

bool FakeSerialDevice::GetCts(bool* value) {
  if (ctsFails.load()) return false;
  *value = cts.load();
  return true;
}

void FakeSerialDevice::SetDtr(bool on) { dtr = on; }
void FakeSerialDevice::ClearError() { clearErrors.fetch_add(1); }

void FakeSerialDevice::Inject(const std::vector<uint8_t>& bytes) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    incoming_.insert(incoming_.end(), bytes.begin(), bytes.end());
  }
  changed_.notify_all();
}

std::vector<uint8_t> FakeSerialDevice::Written() {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<uint8_t> all;
  for (auto& w : writes_) all.insert(all.end(), w.begin(), w.end());
  return all;
}

std::vector<std::vector<uint8_t>> FakeSerialDevice::Writes() {
  std::lock_guard<std::mutex> lock(mutex_);
  return writes_;
}

void FakeSerialDevice::ClearWritten() {
  std::lock_guard<std::mutex> lock(mutex_);
  writes_.clear();
}

std::vector<uint32_t> FakeSerialDevice::BaudHistory() {
  std::lock_guard<std::mutex> lock(mutex_);
  return bauds_;
}

std::shared_ptr<SerialDevice> FakeSerialFactory::Create() {
  auto device = next ? next : std::make_shared<FakeSerialDevice>();
  next.reset();
  created.push_back(device);
  return device;
}

int FakeImageSource::Lookup(const std::string& name, const uint8_t** data, size_t* size) {
  auto failure = failures.find(name);
  if (failure != failures.end()) return failure->second;
  auto it = images.find(name);
  if (it == images.end()) return 1;
  if (it->second.empty()) return 2;
  *data = it->second.data();
  *size = it->second.size();
  return 0;
}

std::shared_ptr<FakeSerialDevice> Rig::OpenFakePort() {
  auto device = std::make_shared<FakeSerialDevice>();
  int error = 0;
  device->Open("COM1", LineSettings{}, &error);
  factory.created.push_back(device);
  app.link.Exchange(device);
  return device;
}

std::vector<uint8_t> Bytes(const std::string& text) {
  return std::vector<uint8_t>(text.begin(), text.end());
}

}  // namespace quillon::test
