// Win32Host's hand-over queue: work asked for on other threads (posted
// messages, control changes, progress steps) waits here and is
// carried out, in order, on the dialog's thread.
#include <optional>
#include <utility>

#include "platform/win32/dialog_host/win32_host.h"

namespace quillon::win32 {

bool Win32Host::HandlePrivateMessage(UINT msg) {
  if (msg != WM_APP_WAKE) return false;
  DeliverPending();
  return true;
}

void Win32Host::QueueForDialogThread(Pending item) {
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
    Deliver(item);
  }
}

void Win32Host::Deliver(Pending& item) {
  if (auto* message = std::get_if<UiMessage>(&item)) {
    if (handler_) handler_(std::move(*message));
  } else if (auto* change = std::get_if<ControlChange>(&item)) {
    ApplyControlChange(*change);
  } else {
    DoProgress(std::get<ProgressStep>(item));
  }
}

// Every message goes through the host's queue, so a completion is never
// lost to a refused post and messages keep the order they were sent in.
void Win32Host::Post(UiMessage message) { QueueForDialogThread(std::move(message)); }

}  // namespace quillon::win32
