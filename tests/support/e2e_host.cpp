#include "support/e2e_host.h"

#include <algorithm>
#include <thread>

#include "core/app/main_dialog.h"

namespace quillon::test {

namespace {
constexpr std::chrono::milliseconds TIMER_PERIOD{100};
}  // namespace

E2eHost::E2eHost()
    : start_(std::chrono::steady_clock::now()), nextTimer_(start_ + TIMER_PERIOD) {}

uint32_t E2eHost::TickCount() {
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                std::chrono::steady_clock::now() - start_)
                .count();
  // Starts away from zero, as the system's tick does; wraps as it does.
  return static_cast<uint32_t>(1000 + ms);
}

void E2eHost::Sleep(uint32_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

bool E2eHost::RunUntil(App& app, const std::function<bool()>& pred,
                       std::chrono::milliseconds timeout) {
  using Clock = std::chrono::steady_clock;
  auto deadline = Clock::now() + timeout;
  for (;;) {
    Pump(app);
    if (pred()) return true;
    auto now = Clock::now();
    if (now >= deadline) return false;
    if (now >= nextTimer_) {
      OnTimer(app);
      // A loop that fell behind does not fire a burst of ticks to catch up.
      nextTimer_ = std::max(nextTimer_ + TIMER_PERIOD, now);
      continue;
    }
    auto wait = std::min(nextTimer_, deadline) - now;
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(wait).count();
    WaitForPost(static_cast<int>(std::max<long long>(ms, 1)));
  }
}

size_t E2eHost::BoxesWith(const std::string& text) {
  auto boxes = Boxes();
  return static_cast<size_t>(
      std::count_if(boxes.begin(), boxes.end(), [&](const ShownBox& b) { return b.text == text; }));
}

size_t E2eHost::LinesWith(const std::string& text) {
  auto lines = LogLines();
  return static_cast<size_t>(std::count(lines.begin(), lines.end(), text));
}

}  // namespace quillon::test
