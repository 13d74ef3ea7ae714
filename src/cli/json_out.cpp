// The run-wide JSON events: error and end.
#include "cli/json_out.h"

#include <atomic>
#include <cstdio>

#include "cli/clock_text.h"
#include "cli/reporter.h"
#include "cli/text_escape.h"

namespace quillon::cli {

namespace {

std::atomic<bool> g_json{false};
std::atomic<bool> g_ended{false};

}  // namespace

void SetJsonOutput(bool on) { g_json.store(on); }
bool JsonOutput() { return g_json.load(); }

void JsonEvent(const std::string& body) {
  std::fprintf(stdout, "{%s,\"time\":%.3f}\n", body.c_str(), SecondsSinceStart());
  std::fflush(stdout);
}

int Refuse(int code, const std::string& text) {
  std::fprintf(stderr, "quillon: %s\n", EscapeControls(text).c_str());
  std::fflush(stderr);
  if (JsonOutput())
    JsonEvent("\"event\":\"error\",\"text\":" + JsonString(text) +
              ",\"exit\":" + std::to_string(code));
  return code;
}

int EndRun(int code) {
  if (JsonOutput() && !g_ended.exchange(true))
    JsonEvent("\"event\":\"end\",\"exit\":" + std::to_string(code));
  return code;
}

}  // namespace quillon::cli
