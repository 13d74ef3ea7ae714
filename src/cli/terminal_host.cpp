#include "cli/terminal_host.h"

#include <thread>

#include "core/app/main_dialog.h"
#include "platform/posix/posix_system.h"

namespace quillon::cli {

TerminalHost::TerminalHost(Callbacks callbacks)
    : callbacks_(std::move(callbacks)), start_(std::chrono::steady_clock::now()) {
  // The controls of the guide layout and the status lines; the maintenance
  // commands have no buttons here, as in the guide layout of the dialog.
  for (int id : {IDC_PORT_NUMBER, IDC_EVENT_LOG, IDC_STATUS_LINE, IDC_NEXT, IDC_BACK, IDC_PROMPT,
                 IDC_STEP_TITLE, IDC_LOWER_TEXT, IDC_UPPER_TEXT, IDC_CLOSE}) {
    controls_[id] = Control{};
  }
  controls_[IDC_NEXT].text = "Next";
  controls_[IDC_BACK].text = "Back";
  controls_[IDC_CLOSE].text = "Close";
}

uint32_t TerminalHost::TickCount() {
  auto elapsed = std::chrono::steady_clock::now() - start_;
  // A free-running 32-bit millisecond count, as the core expects: it wraps.
  return static_cast<uint32_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count());
}

void TerminalHost::Sleep(uint32_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

TerminalHost::Control* TerminalHost::Find(int id) {
  auto it = controls_.find(id);
  return it == controls_.end() ? nullptr : &it->second;
}

void TerminalHost::SetControlText(int id, const std::string& text) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (Control* control = Find(id)) control->text = text;
}

std::optional<std::string> TerminalHost::GetControlText(int id) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (Control* control = Find(id)) return control->text;
  return std::nullopt;
}

void TerminalHost::EnableControl(int id, bool enabled) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (Control* control = Find(id)) control->enabled = enabled;
}

bool TerminalHost::IsControlEnabled(int id) {
  std::lock_guard<std::mutex> lock(mutex_);
  Control* control = Find(id);
  return control != nullptr && control->enabled;
}

void TerminalHost::ShowControl(int id, bool shown) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (Control* control = Find(id)) control->shown = shown;
}

void TerminalHost::OnLogLineAdded(const std::string& line) {
  if (callbacks_.logLine) callbacks_.logLine(line);
}

void TerminalHost::OnLogCleared() {}

bool TerminalHost::IsLogLineSelected(size_t) { return false; }

void TerminalHost::CreateProgressStrip(uint32_t maximum, bool form32) {
  std::lock_guard<std::mutex> lock(mutex_);
  // The 16-bit form carries its range in 16 bits, as the dialog's bar does.
  strip_.maximum = form32 ? maximum : (maximum & 0xFFFFu);
  strip_.position = 0;
  strip_.form32 = form32;
  strip_.exists = true;
  ++strip_.generation;
}

void TerminalHost::SetProgressPosition(uint32_t position) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (strip_.exists) strip_.position = position;
}

void TerminalHost::AdvanceProgressStrip(uint32_t n) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (strip_.exists) strip_.position += n;
}

void TerminalHost::DestroyProgressStrip() {
  std::lock_guard<std::mutex> lock(mutex_);
  strip_.exists = false;
}

int TerminalHost::ShowMessageBox(const std::string& text, const std::string& caption, unsigned style,
                             bool) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    boxes_.push_back(ShownBox{text, caption, style});
  }
  if ((style & MB_STYLE_YESNO) == MB_STYLE_YESNO) {
    // No one to ask means no.
    return callbacks_.question ? callbacks_.question(text) : ANSWER_NO;
  }
  if (callbacks_.box) callbacks_.box(text, style);
  return ANSWER_OK;
}

void TerminalHost::Beep() {
  if (callbacks_.beep) callbacks_.beep();
}

bool TerminalHost::ChooseOpenFile(std::string& name, const FileFilter&, const std::string&) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!openAnswer_) return false;  // nothing given: the chooser is cancelled
  name = *openAnswer_;
  openAnswer_.reset();
  return true;
}

bool TerminalHost::ChooseSaveFile(std::string& name, const FileFilter&) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!saveAnswer_) return false;
  name = *saveAnswer_;
  saveAnswer_.reset();
  return true;
}

int TerminalHost::RunProgramNamePrompt(std::string& name) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!programName_ || programName_->empty()) return 0;
  name = *programName_;
  programName_.reset();
  return 1;
}

int TerminalHost::RunPortNumberDialog(int&) {
  // Ports are named by path here; there is no number to ask for. Cancel
  // keeps the number as it is.
  return 0;
}

void TerminalHost::Invalidate(bool) { repaint_.store(true); }

void TerminalHost::DrawPicture(int, int) {}

void TerminalHost::DrawIndicator(int state) { indicator_.store(state); }

void TerminalHost::EndDialog(int result) {
  std::lock_guard<std::mutex> lock(mutex_);
  endResult_ = result;
  posted_.notify_all();
}

int TerminalHost::DetectPortNumber() { return 0; }

void TerminalHost::Post(UiMessage message) {
  std::lock_guard<std::mutex> lock(mutex_);
  queue_.push_back(std::move(message));
  posted_.notify_one();
}

std::string TerminalHost::SystemErrorText(int code) {
  lastErrorCode_.store(code);
  return posix::SystemErrorText(code);
}

bool TerminalHost::CreateTempFile(const std::string& prefix, std::string& path) {
  return posix::CreateTempFile(prefix, path);
}

void TerminalHost::OpenInViewer(const std::string& path) {
  // Without a graphical session the path is told, so the user can open it.
  posix::OpenInViewer(path, [this](const std::string& where) {
    if (callbacks_.box) callbacks_.box(where, MB_STYLE_OK);
  });
}

void TerminalHost::SetOpenAnswer(const std::string& path) {
  std::lock_guard<std::mutex> lock(mutex_);
  openAnswer_ = path;
}

void TerminalHost::SetSaveAnswer(const std::string& path) {
  std::lock_guard<std::mutex> lock(mutex_);
  saveAnswer_ = path;
}

void TerminalHost::SetProgramName(const std::string& name) {
  std::lock_guard<std::mutex> lock(mutex_);
  programName_ = name;
}

std::optional<UiMessage> TerminalHost::WaitMessage(std::chrono::steady_clock::time_point until) {
  std::unique_lock<std::mutex> lock(mutex_);
  posted_.wait_until(lock, until, [this] { return !queue_.empty() || woken_; });
  woken_ = false;
  if (queue_.empty()) return std::nullopt;
  UiMessage message = std::move(queue_.front());
  queue_.pop_front();
  return message;
}

bool TerminalHost::QueueEmpty() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return queue_.empty();
}

bool TerminalHost::TakeRepaint() { return repaint_.exchange(false); }

void TerminalHost::Wake() {
  std::lock_guard<std::mutex> lock(mutex_);
  woken_ = true;
  posted_.notify_all();
}

std::vector<TerminalHost::ShownBox> TerminalHost::Boxes() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return boxes_;
}

size_t TerminalHost::BoxCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return boxes_.size();
}

TerminalHost::Strip TerminalHost::CurrentStrip() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return strip_;
}

std::optional<int> TerminalHost::EndResult() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return endResult_;
}

}  // namespace quillon::cli
