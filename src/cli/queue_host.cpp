// The command line's host: tick, pauses, the posted-message queue.
#include "cli/queue_host.h"

#include <thread>

#include "cli/cli_platform.h"
#include "platform/host_os.h"

namespace quillon::cli {

uint32_t QueueHost::TickCount() {
  // A free-running 32-bit millisecond count, as the engine expects: it wraps.
  return static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::steady_clock::now() - start_)
                                   .count());
}

void QueueHost::Sleep(uint32_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

void QueueHost::Post(UiMessage message) {
  std::lock_guard<std::mutex> lock(mutex_);
  queue_.push_back(std::move(message));
  posted_.notify_one();
}

std::string QueueHost::SystemErrorText(int code) { return cli::SystemErrorText(code); }

std::FILE* QueueHost::CreateNewFile(const std::string& path) {
  return platform::CreateNewFile(path);
}

long QueueHost::ProcessId() { return platform::CurrentProcessId(); }

bool QueueHost::ProcessRunning(long pid) { return platform::ProcessRunning(pid); }

std::optional<UiMessage> QueueHost::Wait(std::chrono::steady_clock::time_point until) {
  std::unique_lock<std::mutex> lock(mutex_);
  posted_.wait_until(lock, until, [this] { return !queue_.empty() || woken_; });
  woken_ = false;
  if (queue_.empty()) return std::nullopt;
  UiMessage message = std::move(queue_.front());
  queue_.pop_front();
  return message;
}

void QueueHost::Wake() {
  std::lock_guard<std::mutex> lock(mutex_);
  woken_ = true;
  posted_.notify_all();
}

}  // namespace quillon::cli
