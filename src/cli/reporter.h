// Where the command line's words go, for one port or many at once: results
// on standard output and failures on standard error; progress as rows
// redrawn in place on a terminal or as plain lines elsewhere; or, with
// --json, one JSON object per line on standard output for every event.
// Every call is safe from any thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace quillon::cli {

struct RunSummary {
  std::string port;
  std::string job;
  std::string outcome;         // done, failed, interrupted
  std::string cause = "none";  // why it was not done, in one word (jobs.h's causes, lower case)
  std::string reason;
  std::string unit = "bytes";  // what `bytes` counts: lines for an NLEC get
  uint64_t bytes = 0;
  double seconds = 0;
  int exit = 0;
};

class Records;

class Reporter {
 public:
  struct Mode {
    bool json = false;
    bool quiet = false;
    bool verbose = false;
    bool inPlace = false;  // standard error is a terminal: rows redrawn in place
    bool prefix = false;   // several ports: lines name their port
    bool progress = true;  // --progress none: no progress at all
    int width = 80;
    std::map<std::string, std::string> labels;  // port -> its short label
    std::vector<std::string> ports;              // the rows' order: the ports' order
  };
  Reporter(Mode mode, std::FILE* out = stdout, std::FILE* err = stderr);
  ~Reporter();

  // Writes the log and the report there too (it must outlive the reporter).
  void SetRecords(Records* records) { records_ = records; }

  // fields: more of the start event's JSON fields, each after a comma.
  void Start(const std::string& port, const std::string& job, uint64_t total,
             const std::string& fields = "");
  // A line on what the job is doing or waiting for: standard error, or a
  // JSON message event of level info; none with --quiet.
  void Status(const std::string& port, const std::string& text);
  // total 0: unknown. unit: "bytes", "lines" or "characters".
  void Progress(const std::string& port, uint64_t done, uint64_t total, const std::string& unit);
  // Ends the port's row: its last state stays as a line (keep) or goes.
  void EndProgress(const std::string& port, bool keep = true);
  void Log(const std::string& port, const std::string& line, bool monitor = false);
  void Result(const std::string& port, const std::string& text);  // stdout
  void Error(const std::string& port, const std::string& text);   // stderr
  void Finish(const RunSummary& summary);
  // The table of every port's outcome, on standard error.
  void SummaryTable(const std::vector<RunSummary>& runs);
  void End(int exitCode);

 private:
  struct Row {
    std::string port;
    std::string text;
    bool shown = false;
    uint64_t done = 0, total = 0;
    std::string unit;
    std::chrono::steady_clock::time_point start, lastJson;
    int lastTenth = -1;
  };
  Row& RowOf(const std::string& port);
  std::string Prefix(const std::string& port) const;
  void Json(const std::string& body);
  // Rows drawn in place are taken off the screen before a line is printed,
  // and put back after it.
  void ClearRows();
  void DrawRows();
  void Line(std::FILE* stream, const std::string& text);

  Mode mode_;
  std::FILE* out_;
  std::FILE* err_;
  Records* records_ = nullptr;
  std::mutex mutex_;
  std::vector<Row> rows_;
  int rowsOnScreen_ = 0;
  std::chrono::steady_clock::time_point lastDraw_;
};

// A JSON string literal.
std::string JsonString(const std::string& text);

}  // namespace quillon::cli
