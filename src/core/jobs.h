// The engine's jobs as its front ends see them: what a job is, how it ended
// and why, its progress, and the observer through which an engine reports
// all of that. Several engines, one per port, may each have their own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>

namespace quillon {

enum class Job { NONE, DOWNLOAD, ERASE, FILE_SEND, FILE_RECEIVE, NLEC_SEND, NLEC_GET };

// What a file transfer moves; sent to the readout as a decimal number in
// the file headers and requests.
enum FileKind : int {
  FILE_KIND_BINARY = 9,
  FILE_KIND_BITMAP = 24,
  FILE_KIND_SETTINGS = 25,
  FILE_KIND_PROGRAM = 26,
};

// Which of the two download runs starts: the guide's image run (either
// image) or the bootloader update of the service button; they differ only
// in the log line that opens them.
enum class DownloadRun { GUIDED_IMAGE, BOOTLOADER_UPDATE };

// A download streams its image in blocks of this many bytes; a stop is
// heard between blocks.
constexpr size_t IMAGE_BLOCK_SIZE = 16384;
enum class Outcome { DONE, FAILED, INTERRUPTED };

// Why a job did not end done.
enum class Cause {
  NONE,
  CHECKSUM_MISMATCH,  // the readout's checksum differs from the host's
  READOUT_ERROR,      // the readout reported a file error (its words in readoutText)
  NLEC_ERROR,         // the readout reported an NLEC error; the session has ended
  RETRY_EXCEEDED,     // no usable answer after the resends
  SIZE_MISMATCH,      // a receive got another byte count than the readout announced
  WRITE_FAILED,       // received data could not be written to disk
  NO_ANSWER,          // the erase's answer did not come in time
  PORT_STALLED,       // the port stopped taking data
  PORT_CLOSED,        // the port was closed under the job
  PORT_LOST,          // the readout's port went away (unplugged)
  STOPPED,            // stopped by the user or the program
};

struct JobEnd {
  Job job = Job::NONE;
  Outcome outcome = Outcome::DONE;
  Cause cause = Cause::NONE;
  std::string reason;       // the engine's plain sentence, a fallback; empty when done
  std::string readoutText;  // the readout's own words, when it gave some
  uint64_t bytes = 0;       // bytes (lines for an NLEC get) moved
  uint64_t expected = 0;    // the announced or image size; 0 when unknown
  std::string keptPart;     // a receive that failed: where its part was kept
  uint32_t elapsedMs = 0;   // an NLEC transfer: from its start to its end
};

struct ProgressEvent {
  enum Kind { CREATE, SET, ADVANCE, DESTROY } kind = CREATE;
  uint32_t value = 0;   // CREATE: the maximum; SET: the position; ADVANCE: the step
  bool form32 = false;  // CREATE: a 32-bit range (the 16-bit form keeps 16 bits)
};

// Lines an engine's event log keeps unless its front end asks for another
// bound (the log's oldest lines go first).
constexpr size_t LOG_KEEP_DEFAULT = 100000;

// Bounds of the engine's own; tests shorten them.
struct Limits {
  uint32_t writeStallMs = 5000;     // a raw run whose writes make no progress this long fails
  uint32_t eraseAnswerMs = 120000;  // an erase whose answer does not come in time fails
  uint32_t failedWaitPauseMs = 100; // pause after a receive wait that failed at once
  uint32_t closePauseMs = 250;      // pause around a port close
  size_t logLines = LOG_KEEP_DEFAULT;  // event-log history; 0 when the front end keeps its own
};

// What a start returns: started, or why not.
struct StartResult {
  bool started = false;
  std::string reason;  // why not, in one sentence
  static StartResult Ok() { return StartResult{true, {}}; }
  static StartResult Refused(std::string why) { return StartResult{false, std::move(why)}; }
  explicit operator bool() const { return started; }
};

class EngineObserver {
 public:
  virtual ~EngineObserver() = default;
  // Any thread.
  virtual void OnLogLine(const std::string& line) = 0;
  virtual void OnProgress(const ProgressEvent& event) = 0;
  // A receive wait failed without the port going away (the receive thread).
  virtual void OnPortWaitFailed() = 0;
  // The handler thread.
  virtual void OnJobEnd(const JobEnd& end) = 0;
  // The readout's flash-erase result packet.
  virtual void OnFlashEraseResult(const std::string& text) = 0;
  // Every packet with a good checksum, after it was acted on.
  virtual void OnPacket(uint16_t command) = 0;
  // The port went away (unplugged); the engine has ended what ran and closed it.
  virtual void OnPortLost() = 0;
};

}  // namespace quillon
