// A readout that logs on and on (--log-rate N): LOG packets at N per second
// from when the unasked packets go, each with the --send-log text or a
// numbered line. For soak runs of the host's monitor.
#include <string>

#include "sim/sim_engine.h"

namespace quillon::sim {

void SimEngine::StreamLogs(uint64_t now) {
  if (!logStreaming_ || now < logStart_) return;
  const uint64_t rate = options_.logRate;
  const uint64_t due = (now - logStart_) * rate / 1000 + 1;
  // A host that does not read for a second does not get a second's backlog.
  if (due > logsSent_ + rate) logsSent_ = due - rate;
  while (logsSent_ < due) {
    ++logsSent_;
    const std::string text = options_.sendLog.empty() ? "log line " + std::to_string(logsSent_)
                                                      : options_.sendLog.front();
    PushUnasked(CMD_LOG, text, now);
  }
}

std::optional<uint64_t> SimEngine::NextLogAt() const {
  if (!logStreaming_) return std::nullopt;
  // The first time at which (t - start) * rate / 1000 reaches the count sent.
  const uint64_t rate = options_.logRate;
  return logStart_ + (logsSent_ * 1000 + rate - 1) / rate;
}

}  // namespace quillon::sim
