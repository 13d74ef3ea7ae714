// A host for running the core against a real line: the recording FakeHost,
// but with a steady-clock tick and real pauses, so the protocol's resend and
// inter-byte timeouts run as they would in the dialog, and an event loop
// that plays the dialog's message pump and its 100 ms timer.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

#include "support/fakes.h"

namespace quillon::test {

class E2eHost : public FakeHost {
 public:
  E2eHost();

  uint32_t TickCount() override;
  void Sleep(uint32_t ms) override;

  // Runs the dialog's loop: posted messages through the core's router, and
  // OnTimer every 100 ms, until pred holds or the timeout passes. Returns
  // pred's last value.
  bool RunUntil(App& app, const std::function<bool()>& pred, std::chrono::milliseconds timeout);

  // Shown message boxes with exactly this text.
  size_t BoxesWith(const std::string& text);
  // Log lines with exactly this text.
  size_t LinesWith(const std::string& text);

 private:
  std::chrono::steady_clock::time_point start_;
  std::chrono::steady_clock::time_point nextTimer_;
};

}  // namespace quillon::test
