// Runs quillon-sim for end-to-end tests: in-process on a thread of its own
// over its own pseudo-terminal (SimHarness), or as the quillon-sim program
// (SimProcess). Both give the path the host opens, deadline-bounded waits
// and queries on the transcript.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sim/sim_line.h"
#include "sim/sim_options.h"
#include "sim/transcript.h"

namespace quillon::sim::test {

using Entries = std::vector<TranscriptEntry>;
using std::chrono::milliseconds;

// Queries over transcript entries.
Entries Frames(const Entries& entries, const std::string& dir, int cmd = -1);
Entries WithFault(const Entries& entries, const std::string& fault);
Entries OfKind(const Entries& entries, const std::string& dir, const std::string& kind);
// All bytes of one direction in order (frames, raw, noise, partial; not dropped).
std::vector<uint8_t> StreamBytes(const Entries& entries, const std::string& dir);

// Polls cond until it holds or the deadline passes (for conditions outside
// the transcript, e.g. files). Returns cond's last value.
bool WaitUntil(const std::function<bool()>& cond, milliseconds timeout);
// The file exists with exactly this size.
bool WaitForFileSize(const std::string& path, uintmax_t size, milliseconds timeout);

// A fresh directory under the temporary directory, removed at the end.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  const std::string& Path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

class SimHarness {
 public:
  // Opens the line and starts the loop; check Ok() (the test fails otherwise).
  explicit SimHarness(SimOptions options = {}, LineOptions line = {});
  ~SimHarness();

  bool Ok() const { return ok_; }
  const std::string& Error() const { return error_; }
  const std::string& SlavePath() const { return line_->Path(); }
  SimLine& Line() { return *line_; }

  Entries Transcript() const { return line_->transcript().Entries(); }
  bool WaitForTranscript(const std::function<bool(const Entries&)>& pred, milliseconds timeout) const;
  // Waits for a frame of this direction and command; returns it in *found.
  bool WaitForFrame(const std::string& dir, int cmd, milliseconds timeout,
                    TranscriptEntry* found = nullptr) const;
  bool WaitForBytes(const std::string& dir, size_t count, milliseconds timeout) const;
  // Ends the loop (also done by the destructor).
  void Stop();

 private:
  std::unique_ptr<SimLine> line_;
  bool ok_ = false;
  std::string error_;
};

// The quillon-sim program, started with these arguments plus a transcript
// file of its own. The first line of its output is the path to open.
class SimProcess {
 public:
  explicit SimProcess(std::vector<std::string> args);
  ~SimProcess();

  bool Ok() const { return !path_.empty(); }
  const std::string& SlavePath() const { return path_; }
  const std::string& TranscriptPath() const { return transcriptPath_; }
  // The transcript as written so far.
  Entries Transcript() const;
  bool WaitForTranscript(const std::function<bool(const Entries&)>& pred, milliseconds timeout) const;
  // Output lines after the path.
  std::vector<std::string> OutputLines() const;
  bool WaitForOutput(const std::string& line, milliseconds timeout) const;
  // Waits for the program to end by itself; its exit status in *status.
  bool WaitForExit(milliseconds timeout, int* status);
  // SIGTERM and reap (also done by the destructor).
  void Terminate();

  static std::string BinaryPath();

 private:
  void ReadOutput();

  pid_t pid_ = -1;
  int outFd_ = -1;
  std::string path_;
  std::string transcriptPath_;
  ScratchDir scratch_;
  std::thread reader_;
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
  bool exited_ = false;
  int status_ = 0;
};

}  // namespace quillon::sim::test
