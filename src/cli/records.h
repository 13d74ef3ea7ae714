// The bench's records of a run: the --log file, with the time on every line
// and an outcome line per port after each job, and the --report file, one
// JSON object per port per job, flushed to the disk as each job ends. Both
// are appended to, never truncated. Every call is safe from any thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "cli/cli_platform.h"
#include "cli/reporter.h"

namespace quillon::cli {

// The file or image a job sends or receives, named by its digest.
struct Subject {
  std::string kind;    // "image" or "file"; empty when the job has none
  std::string name;    // the built-in image's name, or the path as given
  bool known = false;  // size and sha256 are known (a receive that failed has none)
  uint64_t size = 0;
  std::string sha256;
};
Subject IdentifyBytes(const std::string& kind, const std::string& name, const uint8_t* data,
                      size_t size);
Subject IdentifyFile(const std::string& kind, const std::string& path);

// A port of the run as the records name it.
struct RecordPort {
  std::string port;         // as given
  std::string label;        // its short label
  PortInfo identity;        // what ListPorts knows of it (empty fields when nothing)
  std::string destination;  // a receive's file for this port
};

class Records {
 public:
  // Opens the files (either may be empty: not wanted) for appending; false,
  // and why, when one cannot be.
  bool Open(const std::string& logPath, const std::string& reportPath, std::string* why);
  void SetRun(std::string job, Subject subject, std::vector<RecordPort> ports, bool receives);

  void Log(const std::string& port, const std::string& line);
  void Started(const std::string& port);
  // Writes the outcome line and the report record; an error text when the
  // report could not be written to the disk, empty otherwise.
  std::string Ended(const RunSummary& summary);

 private:
  struct PortState {
    RecordPort port;
    std::chrono::system_clock::time_point started;
  };
  PortState* Find(const std::string& port);
  void LogLine(const PortState* port, const std::string& text);
  std::string ReportRecord(const PortState& port, const RunSummary& s,
                           const Subject& subject) const;

  using File = std::unique_ptr<std::FILE, int (*)(std::FILE*)>;
  std::mutex mutex_;
  File log_{nullptr, std::fclose};
  File report_{nullptr, std::fclose};
  std::string job_;
  Subject subject_;
  bool receives_ = false;
  bool several_ = false;
  std::vector<PortState> ports_;
  int logError_ = 0;          // the first failed write to the log, told once
  bool logErrorTold_ = false;
  const std::string host_ = HostName();
};

}  // namespace quillon::cli
