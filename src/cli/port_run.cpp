// Running one job on one port and turning its end into words and an exit code.
#include "cli/port_run.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <iterator>

#include "cli/cli_platform.h"
#include "core/guide_texts.h"

namespace quillon::cli {

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto TIMER_PERIOD = std::chrono::milliseconds(100);
// After a stop, how long the loop waits for the job to report its end.
constexpr double STOP_GRACE_SECONDS = 1.0;
// How long the erase waits for the readout's answer (the engine's bound).
constexpr uint64_t ERASE_ANSWER_SECONDS = Limits{}.eraseAnswerMs / 1000;

const char* JobName(Job job) {
  switch (job) {
    case Job::DOWNLOAD:
      return "download";
    case Job::ERASE:
      return "erase";
    case Job::FILE_SEND:
      return "send";
    case Job::FILE_RECEIVE:
      return "receive";
    case Job::NLEC_SEND:
      return "NLEC send";
    case Job::NLEC_GET:
      return "NLEC get";
    case Job::NONE:
      break;
  }
  return "job";
}

const char* KindName(int kind) {
  switch (kind) {
    case FILE_KIND_SETTINGS:
      return "settings";
    case FILE_KIND_PROGRAM:
      return "program";
    case FILE_KIND_BITMAP:
      return "bitmap";
    default:
      return "file";
  }
}

const char* LogTextFor(const JobSpec& job) {
  if (job.command == Command::RECEIVE) {
    return job.kind == FILE_KIND_PROGRAM ? "Receiving Program File..." : "Receiving Settings File...";
  }
  switch (job.kind) {
    case FILE_KIND_BITMAP:
      return "Sending Bitmap File...";
    case FILE_KIND_PROGRAM:
      return "Sending Program File...";
    default:
      return "Sending Settings...";
  }
}

// An NLEC transfer's done line, in the Windows program's words.
std::string NlecCompletedText(const JobEnd& end) {
  char text[80];
  std::snprintf(text, sizeof text, "NLEC Transfer completed in %d seconds.",
                static_cast<int>(end.elapsedMs / 1000u));
  return text;
}

const char* CauseName(Cause cause) {
  static const char* const names[] = {"none",         "checksum_mismatch", "readout_error", "nlec_error",
                                      "retry_exceeded", "size_mismatch",   "write_failed",  "no_answer",
                                      "port_stalled", "port_closed",       "port_lost",     "stopped"};
  static_assert(std::size(names) == static_cast<size_t>(Cause::STOPPED) + 1, "a name for every cause");
  return names[static_cast<size_t>(cause)];
}

}  // namespace

PortRun::PortRun(const Options& options, const JobSpec& job, std::string port, std::string destination,
                 Reporter& reporter, const std::atomic<bool>& interrupted)
    : options_(options),
      job_(job),
      port_(std::move(port)),
      destination_(std::move(destination)),
      reporter_(reporter),
      interrupted_(interrupted),
      factory_(MakeSerialFactory()) {
  // Lines go to the terminal, the log file and the report as they come;
  // the engine keeps none, so a monitor of days stays as small as at its start.
  Limits limits;
  limits.logLines = 0;
  engine_ = std::make_unique<Engine>(host_, *factory_, *this, limits);
}

PortRun::~PortRun() { engine_.reset(); }

void PortRun::Interrupt() {
  engine_->RequestCancel();
  host_.Wake();
}

void PortRun::OnLogLine(const std::string& line) {
  activity_.fetch_add(1);
  reporter_.Log(port_, line, job_.command == Command::MONITOR);
}

void PortRun::OnProgress(const ProgressEvent& event) {
  activity_.fetch_add(1);
  switch (event.kind) {
    case ProgressEvent::CREATE:
      stripMaximum_.store(event.form32 ? event.value : (event.value & 0xFFFFu));
      stripPosition_.store(0);
      stripShown_.store(true);
      break;
    case ProgressEvent::SET:
      stripPosition_.store(event.value);
      break;
    case ProgressEvent::ADVANCE:
      stripPosition_.fetch_add(event.value);
      break;
    case ProgressEvent::DESTROY:
      stripShown_.store(false);
      break;
  }
}

void PortRun::OnJobEnd(const JobEnd& end) {
  ended_ = true;
  end_ = end;
}

void PortRun::OnFlashEraseResult(const std::string& text) {
  if (text == "0") {
    reporter_.Result(port_, "The readout reports: flash erase successful.");
  } else {
    reporter_.Error(port_, "The readout reports: flash erase failure: " + text);
  }
}

void PortRun::OnPacket(uint16_t) {
  ++packets_;
  activity_.fetch_add(1);
}

void PortRun::ShowProgress() {
  if (job_.command == Command::DOWNLOAD) {
    reporter_.Progress(port_, engine_->DownloadSent(), engine_->DownloadSize(), "bytes");
  } else if (job_.command == Command::ERASE) {
    // The erase's wait for the readout's answer, in seconds.
    if (eraseWaitStart_ == Clock::time_point{}) return;
    auto waited =
        std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - eraseWaitStart_).count();
    reporter_.Progress(port_,
                       std::min<uint64_t>(static_cast<uint64_t>(waited), ERASE_ANSWER_SECONDS),
                       ERASE_ANSWER_SECONDS, "seconds");
  } else if (stripShown_.load()) {
    reporter_.Progress(port_, stripPosition_.load(), stripMaximum_.load(), unit_);
  }
}

template <typename Done>
PortRun::LoopEnd PortRun::Pump(Done done, double idleSeconds, double deadlineSeconds,
                               bool heedInterrupt) {
  const auto deadline = deadlineSeconds > 0
                            ? Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                                 std::chrono::duration<double>(deadlineSeconds))
                            : Clock::time_point::max();
  auto nextTick = Clock::now() + TIMER_PERIOD;
  auto lastActivity = Clock::now();
  uint64_t seen = activity_.load();
  for (;;) {
    if (done()) return LoopEnd::DONE;
    if (heedInterrupt && interrupted_.load()) return LoopEnd::INTERRUPTED;
    // A bootloader job learns of a lost port from the link and reports it
    // through its own end, which is waited for: the loop must not end first.
    if (portLost_ && engine_->BootIdle()) return LoopEnd::PORT_LOST;
    const auto now = Clock::now();
    if (now >= deadline) return LoopEnd::DEADLINE;
    if (activity_.load() != seen) {
      seen = activity_.load();
      lastActivity = now;
    }
    if (idleSeconds > 0 && now - lastActivity > std::chrono::duration<double>(idleSeconds)) {
      return LoopEnd::IDLE;
    }
    // Between ticks the loop sleeps until a message comes: no spinning.
    if (auto message = host_.Wait(std::min(nextTick, deadline))) {
      activity_.fetch_add(1);
      engine_->Dispatch(std::move(*message));
    }
    if (Clock::now() >= nextTick) {
      engine_->Tick();
      nextTick += TIMER_PERIOD;
      if (nextTick <= Clock::now()) nextTick = Clock::now() + TIMER_PERIOD;
      ShowProgress();
    }
  }
}

// Ends the progress row before the job's last words are printed below it.
void PortRun::CloseRow(int exitCode) {
  if (rowClosed_) return;
  rowClosed_ = true;
  ShowProgress();
  // A transfer that ended whole ends its row at 100 %, whatever the strip's
  // last step (a last chunk of one byte does not move it).
  const bool transfer = job_.command != Command::DOWNLOAD && job_.command != Command::ERASE;
  if (exitCode == EXIT_DONE && transfer && stripMaximum_.load() > 0) {
    reporter_.Progress(port_, stripMaximum_.load(), stripMaximum_.load(), unit_);
  }
  // The erase's row counts seconds of waiting: once the erase has ended it
  // tells nothing, so it goes.
  reporter_.EndProgress(port_, job_.command != Command::ERASE);
}

RunSummary PortRun::Finish(int exitCode, const std::string& outcome, const std::string& reason) {
  CloseRow(exitCode);
  RunSummary summary;
  summary.port = port_;
  summary.job = job_.name;
  summary.outcome = outcome;
  // The engine's cause where the job reached its end; otherwise what the
  // loop saw.
  summary.cause = outcome == "done"                         ? "none"
                  : !cause_.empty()                         ? cause_
                  : exitCode == EXIT_INTERRUPTED            ? "stopped"
                  : ended_ && end_.outcome != Outcome::DONE ? CauseName(end_.cause)
                  : exitCode == EXIT_PORT                   ? "port_open"
                  : portLost_                               ? "port_lost"
                                                            : "no_answer";
  if (job_.command == Command::NLEC_GET) summary.unit = "lines";
  summary.reason = reason;
  summary.bytes = ended_ ? end_.bytes : (job_.command == Command::DOWNLOAD ? engine_->DownloadSent() : 0);
  summary.seconds = std::chrono::duration<double>(Clock::now() - start_).count();
  summary.exit = exitCode;
  reporter_.Finish(summary);
  return summary;
}

double PortRun::DownloadStopSeconds() const {
  // A whole block at the line's rate (11 bits a byte), the port's own stall
  // bound, and a margin.
  return static_cast<double>(IMAGE_BLOCK_SIZE) * 11.0 / job_.baud + Limits{}.writeStallMs / 1000.0 +
         1.0;
}

std::string PortRun::ReachedText() const {
  const uint64_t sent = ended_ ? end_.bytes : engine_->DownloadSent();
  // A port that failed may have lost what it had taken but not yet sent:
  // then the count is what went to the port, not what arrived.
  const bool portFailed = ended_ && (end_.cause == Cause::PORT_LOST || end_.cause == Cause::PORT_CLOSED ||
                                     end_.cause == Cause::PORT_STALLED);
  if (portFailed) {
    return std::to_string(sent) +
           " bytes were handed to the port before it failed; the readout may hold fewer: its "
           "display shows the exact count";
  }
  return "at least " + std::to_string(sent) +
         " bytes reached the readout; its display shows the exact count";
}

RunSummary PortRun::Interrupted() {
  // Whatever runs is stopped; its end says what is left (a kept part). A
  // download's worker finishes the block the port is taking: only its end
  // knows how many bytes the port accepted.
  engine_->StopAll();
  if (!ended_)
    Pump([&] { return ended_; }, 0,
         job_.command == Command::DOWNLOAD ? DownloadStopSeconds() : STOP_GRACE_SECONDS, false);
  CloseRow(EXIT_INTERRUPTED);
  std::string text = "Interrupted.";
  if (job_.command == Command::DOWNLOAD) text += " The download stopped: " + ReachedText() + ".";
  if (ended_ && !end_.keptPart.empty()) text += " The part received so far is kept in " + end_.keptPart + ".";
  reporter_.Error(port_, text);
  return Finish(EXIT_INTERRUPTED, "interrupted", "interrupted");
}

std::string PortRun::DoneText() const {
  const JobEnd& e = end_;
  switch (e.job) {
    case Job::DOWNLOAD:
      return std::to_string(e.bytes) + " bytes sent.";
    case Job::ERASE:
      return "Done erasing user storage.";
    case Job::FILE_SEND:
      return std::string("Sent the ") + KindName(job_.kind) + " file " + job_.file + " (" +
             std::to_string(e.bytes) + " bytes); the readout's checksum matches.";
    case Job::FILE_RECEIVE:
      return "Received " + std::to_string(e.bytes) + " bytes into " + destination_ + ".";
    case Job::NLEC_GET:
      return NlecCompletedText(e) + " " + std::to_string(e.bytes) + " lines in " + destination_ +
             ".";
    default:
      return NlecCompletedText(e);
  }
}

void PortRun::ShowCountToCompare() {
  // The readout shows its own count: the user compares the two.
  GuideTexts page = GuidePageTexts(
      PAGE_COMPLETE, job_.firmware == Firmware::BOOTLOADER ? CHOICE_BOOTLOADER : CHOICE_SOFTWARE,
      static_cast<uint32_t>(end_.bytes));
  for (const std::string* line : {&page.upper, &page.lower}) {
    if (!line->empty()) reporter_.Result(port_, *line);
  }
}

RunSummary PortRun::FromEnd() {
  const JobEnd& e = end_;
  CloseRow(e.outcome == Outcome::DONE ? EXIT_DONE : EXIT_FAILED);
  if (e.outcome == Outcome::DONE) {
    reporter_.Result(port_, DoneText());
    if (e.job == Job::DOWNLOAD && !job_.several) ShowCountToCompare();
    return Finish(EXIT_DONE, "done", "");
  }
  if (e.outcome == Outcome::INTERRUPTED) return Interrupted();

  std::string head = e.job == Job::ERASE ? "The flash erase did not complete: "
                                         : std::string("quillon: the ") + JobName(e.job) + " failed: ";
  // An NLEC checksum end's reason is its log line, full stop included.
  const bool stop = !e.reason.empty() && e.reason.back() == '.';
  reporter_.Error(port_, head + e.reason + (stop ? "" : "."));
  if (e.job == Job::DOWNLOAD) {
    std::string reached = ReachedText();
    reached[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(reached[0])));
    reporter_.Error(port_, reached + ".");
  }
  if (e.cause == Cause::READOUT_ERROR && e.readoutText.empty()) {
    reporter_.Error(port_, "The readout gave no reason.");
  }
  if (e.cause == Cause::RETRY_EXCEEDED) {
    reporter_.Error(port_, "No answer from the readout: check the cable, the power and that the "
                           "readout shows its main menu.");
  }
  if (!e.keptPart.empty()) {
    reporter_.Error(port_, "The part received so far is kept in " + e.keptPart +
                               (destination_.empty() ? "" : "; " + destination_ + " was not changed") + ".");
  }
  return Finish(EXIT_FAILED, "failed", e.reason);
}

RunSummary PortRun::Transfer(StartResult started, const std::string& unit) {
  unit_ = unit;
  // A checksum pass ended by Ctrl-C refuses the start: that is an interrupt.
  if (!started && interrupted_.load()) return Interrupted();
  if (!started) {
    reporter_.Error(port_, "quillon: " + started.reason);
    cause_ = "refused";
    return Finish(EXIT_USAGE, "failed", started.reason);
  }
  LoopEnd end = Pump([&] { return ended_; }, options_.idleSeconds, 0);
  if (end == LoopEnd::DONE) return FromEnd();
  if (end == LoopEnd::INTERRUPTED) return Interrupted();
  if (end == LoopEnd::PORT_LOST && ended_) return FromEnd();
  engine_->StopAll();
  std::string reason = end == LoopEnd::PORT_LOST
                           ? "the readout's port went away (unplugged?)"
                           : "no answer from the readout for " +
                                 std::to_string(static_cast<int>(options_.idleSeconds)) + " seconds";
  reporter_.Error(port_, "quillon: " + reason + "; transfer stopped.");
  return Finish(EXIT_FAILED, "failed", reason);
}

RunSummary PortRun::Download() {
  const std::vector<uint8_t>& image = *job_.image;
  StartResult started =
      engine_->StartDownload(image.data(), image.size(), job_.baud, job_.downloadRun);
  if (!started) {
    reporter_.Error(port_, "quillon: " + started.reason);
    cause_ = "refused";
    return Finish(EXIT_FAILED, "failed", started.reason);
  }
  LoopEnd end = Pump([&] { return ended_; }, options_.idleSeconds, 0);
  if (end == LoopEnd::INTERRUPTED) return Interrupted();
  if (end != LoopEnd::DONE) {
    // The worker gives up on its own at its bounds; wait for its end.
    engine_->StopAll();
    Pump([&] { return ended_; }, 0, 10);
    if (ended_) return FromEnd();
    reporter_.Error(port_, "quillon: the download made no progress; stopped.");
    cause_ = "port_stalled";
    return Finish(EXIT_FAILED, "failed", "no progress");
  }
  return FromEnd();
}

RunSummary PortRun::Erase() {
  StartResult started = engine_->StartErase();
  if (!started) {
    reporter_.Error(port_, "quillon: " + started.reason);
    cause_ = "refused";
    return Finish(EXIT_FAILED, "failed", started.reason);
  }
  eraseWaitStart_ = Clock::now();
  reporter_.Status(port_, "Erasing: waiting for the readout's answer, at most " +
                              std::to_string(ERASE_ANSWER_SECONDS) + " seconds.");
  ShowProgress();
  LoopEnd end = Pump([&] { return ended_; }, 0, options_.eraseSeconds);
  if (end == LoopEnd::INTERRUPTED) return Interrupted();
  if (end != LoopEnd::DONE) {
    engine_->StopAll();
    Pump([&] { return ended_; }, 0, STOP_GRACE_SECONDS);
    if (ended_) return FromEnd();
    reporter_.Error(port_, "The flash erase did not complete: it did not end in time.");
    return Finish(EXIT_FAILED, "failed", "no end in time");
  }
  return FromEnd();
}

RunSummary PortRun::Test() {
  engine_->StartTest();
  LoopEnd end = Pump([&] { return packets_ > 0; }, 0, options_.testWaitSeconds);
  if (end == LoopEnd::INTERRUPTED) return Interrupted();
  // Let the rest of an answer that came in pieces arrive.
  if (end == LoopEnd::DONE) Pump([] { return false; }, 0, 0.2);
  if (portLost_) {
    reporter_.Error(port_, "quillon: the readout's port went away (unplugged?).");
    return Finish(EXIT_FAILED, "failed", "the readout's port went away (unplugged?)");
  }
  if (packets_ == 0) {
    reporter_.Error(port_, "quillon: no answer from the readout: check the cable, the power and "
                           "that the readout shows its main menu.");
    return Finish(EXIT_FAILED, "failed", "no answer from the readout");
  }
  // What the answer made the host log is in the event log (-v, --log).
  reporter_.Result(port_, "The readout answered the test command.");
  return Finish(EXIT_DONE, "done", "");
}

RunSummary PortRun::Monitor() {
  engine_->SetRawLogging(true);
  LoopEnd end = Pump([] { return false; }, 0, options_.seconds);
  if (end == LoopEnd::INTERRUPTED) return Interrupted();
  if (end == LoopEnd::PORT_LOST) {
    reporter_.Error(port_, "quillon: the readout's port went away (unplugged?).");
    return Finish(EXIT_FAILED, "failed", "the readout's port went away (unplugged?)");
  }
  return Finish(EXIT_DONE, "done", "");
}

RunSummary PortRun::Run() {
  uint64_t total = job_.command == Command::DOWNLOAD && job_.image ? job_.image->size() : 0;
  reporter_.Start(port_, job_.name, total, job_.startFields);
  int error = 0;
  if (!engine_->Open(DevicePath(port_), port_, &error)) {
    std::string reason = DescribeOpenError(error);
    reporter_.Error(port_, "quillon: cannot open " + port_ + (reason.empty() ? "" : ": " + reason));
    return Finish(EXIT_PORT, "failed", "cannot open the port" + (reason.empty() ? "" : ": " + reason));
  }
  switch (job_.command) {
    case Command::DOWNLOAD:
      return Download();
    case Command::ERASE:
      return Erase();
    case Command::TEST:
      return Test();
    case Command::MONITOR:
      return Monitor();
    case Command::SEND:
      return Transfer(engine_->StartFileSend(job_.kind, job_.file, LogTextFor(job_)), "bytes");
    case Command::RECEIVE:
      return Transfer(engine_->StartFileReceive(job_.kind, destination_, job_.programName, LogTextFor(job_)),
                      "bytes");
    case Command::NLEC_SEND:
      return Transfer(engine_->StartNlecSend(job_.file), "characters");
    case Command::NLEC_GET:
    default:  // ports and guide never run on a port
      return Transfer(engine_->StartNlecGet(destination_), "lines");
  }
}

}  // namespace quillon::cli
