// The command line's output: messages, progress rows, JSON events, summary.
#include "cli/reporter.h"

#include <algorithm>

#include "cli/clock_text.h"
#include "cli/json_out.h"
#include "cli/labels.h"
#include "cli/progress.h"
#include "cli/records.h"
#include "cli/text_escape.h"

namespace quillon::cli {

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto DRAW_PERIOD = std::chrono::milliseconds(100);
constexpr auto JSON_PROGRESS_PERIOD = std::chrono::milliseconds(250);

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

std::string Number(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3f", value);
  return text;
}

}  // namespace

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20 || c == 0x7F) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
          out += escaped;
        } else if (c >= 0x80) {
          // Received bytes are not always UTF-8; keep the output valid JSON.
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
          out += escaped;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out + "\"";
}

Reporter::Reporter(Mode mode, std::FILE* out, std::FILE* err) : mode_(mode), out_(out), err_(err) {
  for (const auto& port : mode_.ports) RowOf(port);
}

Reporter::~Reporter() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (rowsOnScreen_ > 0) DrawRows();
}

Reporter::Row& Reporter::RowOf(const std::string& port) {
  for (Row& row : rows_) {
    if (row.port == port) return row;
  }
  rows_.push_back(Row{port, {}, false, 0, 0, {}, Clock::now(), {}, -1});
  return rows_.back();
}

std::string Reporter::Prefix(const std::string& port) const {
  if (!mode_.prefix || port.empty()) return {};
  auto label = mode_.labels.find(port);
  return EscapeControls(label == mode_.labels.end() ? port : label->second) + ": ";
}

void Reporter::Json(const std::string& body) {
  std::fprintf(out_, "{%s,\"time\":%s}\n", body.c_str(), Number(SecondsSinceStart()).c_str());
  std::fflush(out_);
}

void Reporter::ClearRows() {
  if (rowsOnScreen_ == 0) return;
  std::fprintf(err_, "\x1b[%dA\r\x1b[J", rowsOnScreen_);
  rowsOnScreen_ = 0;
}

void Reporter::DrawRows() {
  if (rowsOnScreen_ > 0) std::fprintf(err_, "\x1b[%dA", rowsOnScreen_);
  int drawn = 0;
  for (const Row& row : rows_) {
    if (!row.shown) continue;
    std::fprintf(err_, "\r%s\x1b[K\n", row.text.c_str());
    ++drawn;
  }
  // Rows that ended are gone from the block: clear what is left below.
  if (drawn < rowsOnScreen_) std::fprintf(err_, "\x1b[J");
  rowsOnScreen_ = drawn;
  std::fflush(err_);
  lastDraw_ = Clock::now();
}

void Reporter::Line(std::FILE* stream, const std::string& text) {
  const bool rows = mode_.inPlace && rowsOnScreen_ > 0;
  if (rows) ClearRows();
  // The one way text reaches the terminal: the readout's words and file
  // names may hold control characters.
  std::fprintf(stream, "%s\n", EscapeControls(text).c_str());
  std::fflush(stream);
  if (rows) DrawRows();
}

void Reporter::Start(const std::string& port, const std::string& job, uint64_t total,
                     const std::string& fields) {
  std::lock_guard<std::mutex> lock(mutex_);
  Row& row = RowOf(port);
  // Each run measures its own rate.
  row.start = Clock::now();
  row.done = 0;
  row.total = total;
  row.lastTenth = -1;
  if (records_) records_->Started(port);
  if (mode_.json) {
    Json("\"event\":\"start\",\"port\":" + JsonString(port) + ",\"job\":" + JsonString(job) +
         ",\"total\":" + std::to_string(total) + fields);
  }
}

void Reporter::Status(const std::string& port, const std::string& text) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (mode_.json) {
    Json("\"event\":\"message\",\"port\":" + JsonString(port) +
         ",\"level\":\"info\",\"text\":" + JsonString(text));
  } else if (!mode_.quiet) {
    Line(err_, Prefix(port) + text);
  }
}

void Reporter::Progress(const std::string& port, uint64_t done, uint64_t total,
                        const std::string& unit) {
  std::lock_guard<std::mutex> lock(mutex_);
  Row& row = RowOf(port);
  const auto now = Clock::now();
  const bool first = mode_.json ? row.lastJson == Clock::time_point{} : !row.shown;
  const bool moved = done != row.done || total != row.total || first;
  const bool finished = total > 0 && done >= total;
  row.done = done;
  row.total = total;
  row.unit = unit;
  if (mode_.json) {
    if (moved && (now - row.lastJson >= JSON_PROGRESS_PERIOD || finished)) {
      row.lastJson = now;
      Json("\"event\":\"progress\",\"port\":" + JsonString(port) +
           ",\"done\":" + std::to_string(done) + ",\"total\":" + std::to_string(total) +
           ",\"unit\":" + JsonString(unit));
    }
    return;
  }
  if (mode_.quiet || !mode_.progress) return;
  if (!mode_.inPlace) {
    // One plain line at each tenth reached, never twice for the same tenth;
    // such lines end up in files, so they carry the time.
    int tenth = total == 0 ? -1 : static_cast<int>(std::min(done, total) * 10 / total);
    if (tenth > row.lastTenth && tenth > 0) {
      row.lastTenth = tenth;
      std::fprintf(err_, "%s %s%s\n", IsoLocalNow().c_str(), Prefix(port).c_str(),
                   FormatProgressLine(done, total, unit).c_str());
      std::fflush(err_);
    }
    return;
  }
  // The row fits the terminal: the bar shrinks first, then the text is cut.
  const std::string prefix = Prefix(port);
  const double elapsed = Seconds(now - row.start);
  const int width = std::max(20, mode_.width - 1);
  std::string text;
  for (int bar = 30; bar >= 8; bar -= 2) {
    text = prefix + FormatProgressBar(done, total, unit, elapsed, bar);
    if (static_cast<int>(text.size()) <= width) break;
  }
  if (static_cast<int>(text.size()) > width) text.resize(static_cast<size_t>(width));
  row.text = text;
  row.shown = true;
  if (moved && (now - lastDraw_ >= DRAW_PERIOD || finished)) DrawRows();
}

void Reporter::EndProgress(const std::string& port, bool keep) {
  std::lock_guard<std::mutex> lock(mutex_);
  Row& row = RowOf(port);
  if (!row.shown) return;
  if (mode_.inPlace && !mode_.json && !mode_.quiet) {
    ClearRows();
    if (keep) std::fprintf(err_, "%s\n", row.text.c_str());
    row.shown = false;
    DrawRows();
  }
  row.shown = false;
}

void Reporter::Log(const std::string& port, const std::string& line, bool monitor) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (records_) records_->Log(port, line);
  if (mode_.json) {
    Json("\"event\":\"log\",\"port\":" + JsonString(port) + ",\"line\":" + JsonString(line));
  } else if (monitor) {
    Line(out_, Prefix(port) + line);
  } else if (mode_.verbose) {
    Line(err_, Prefix(port) + line);
  }
}

void Reporter::Result(const std::string& port, const std::string& text) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (mode_.json) {
    Json("\"event\":\"message\",\"port\":" + JsonString(port) + ",\"level\":\"info\",\"text\":" +
         JsonString(text));
    return;
  }
  Line(out_, Prefix(port) + text);
}

void Reporter::Error(const std::string& port, const std::string& text) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (mode_.json) {
    Json("\"event\":\"message\",\"port\":" + JsonString(port) + ",\"level\":\"error\",\"text\":" +
         JsonString(text));
  }
  Line(err_, Prefix(port) + text);
}

void Reporter::Finish(const RunSummary& s) {
  // The records first, outside the lock: a digest and a disk flush take time.
  const std::string failed = records_ ? records_->Ended(s) : std::string();
  if (!failed.empty()) Error(s.port, "quillon: " + failed);
  std::lock_guard<std::mutex> lock(mutex_);
  if (!mode_.json) return;
  Json("\"event\":\"result\",\"port\":" + JsonString(s.port) + ",\"job\":" + JsonString(s.job) +
       ",\"outcome\":" + JsonString(s.outcome) + ",\"cause\":" + JsonString(s.cause) +
       ",\"reason\":" + JsonString(s.reason) + ",\"" + s.unit + "\":" + std::to_string(s.bytes) +
       ",\"seconds\":" + Number(s.seconds) + ",\"exit\":" + std::to_string(s.exit));
}

void Reporter::SummaryTable(const std::vector<RunSummary>& runs) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::string> labels;
  for (const auto& run : runs) {
    auto label = mode_.labels.find(run.port);
    labels.push_back(label == mode_.labels.end() ? run.port : label->second);
  }
  // On a terminal the table fits its width; in a file nothing is cut.
  for (const auto& line : SummaryLines(runs, labels, mode_.inPlace ? mode_.width : 0))
    Line(err_, line);
}

void Reporter::End(int exitCode) {
  std::lock_guard<std::mutex> lock(mutex_);
  EndRun(exitCode);
}

}  // namespace quillon::cli
