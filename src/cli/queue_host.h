// The engine's host on the command line: a steady millisecond tick, pauses,
// and posted messages kept in a queue that the port's own loop runs.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <string>

#include "core/host.h"

namespace quillon::cli {

class QueueHost : public Host {
 public:
  uint32_t TickCount() override;
  void Sleep(uint32_t ms) override;
  void Post(UiMessage message) override;
  std::string SystemErrorText(int code) override;
  std::FILE* CreateNewFile(const std::string& path) override;
  long ProcessId() override;
  bool ProcessRunning(long pid) override;

  // The next posted message, waiting at most until the given time or a Wake.
  std::optional<UiMessage> Wait(std::chrono::steady_clock::time_point until);
  void Wake();

 private:
  const std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
  std::mutex mutex_;
  std::condition_variable posted_;
  std::deque<UiMessage> queue_;
  bool woken_ = false;
};

}  // namespace quillon::cli
