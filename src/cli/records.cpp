// The --log and --report files.
#include "cli/records.h"

#include <cerrno>
#include <cstring>

#include "cli/clock_text.h"
#include "cli/text_escape.h"
#include "core/sha256.h"

#ifndef QUILLON_VERSION
#define QUILLON_VERSION "unknown"
#endif

namespace quillon::cli {

namespace {

std::string Field(const char* name, const std::string& value) {
  return std::string(",\"") + name + "\":" + JsonString(value);
}

std::string IdentityJson(const PortInfo& p) {
  std::string body;
  if (!p.serial.empty()) body += Field("serial", p.serial);
  if (!p.location.empty()) body += Field("location", p.location);
  if (!p.byPath.empty()) body += Field("by_path", p.byPath);
  if (!p.byId.empty()) body += Field("by_id", p.byId);
  if (!p.ids.empty()) body += Field("ids", p.ids);
  // Built by appending: "{" + text trips g++ 12's -Wrestrict on MinGW.
  std::string object(1, '{');
  object.append(body, body.empty() ? 0 : 1, std::string::npos);
  object += '}';
  return object;
}

std::string SubjectJson(const Subject& s) {
  if (s.kind.empty()) return {};
  std::string body = "{\"name\":" + JsonString(s.name);
  body += s.known ? ",\"size\":" + std::to_string(s.size) + ",\"sha256\":" + JsonString(s.sha256)
                  : ",\"size\":null,\"sha256\":null";
  return ",\"" + s.kind + "\":" + body + "}";
}

std::string SubjectText(const Subject& s) {
  if (s.kind.empty()) return {};
  std::string text = ", " + s.kind + " " + s.name;
  if (s.known) text += " (" + std::to_string(s.size) + " bytes, sha256 " + s.sha256 + ")";
  return text;
}

}  // namespace

Subject IdentifyBytes(const std::string& kind, const std::string& name, const uint8_t* data,
                      size_t size) {
  return Subject{kind, name, true, size, Sha256Hex(data, size)};
}

Subject IdentifyFile(const std::string& kind, const std::string& path) {
  Subject subject{kind, path, false, 0, {}};
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "rb"), std::fclose);
  if (!file) return subject;
  Sha256 digest;
  uint8_t buffer[65536];
  for (size_t got; (got = std::fread(buffer, 1, sizeof buffer, file.get())) > 0;) {
    digest.Update(buffer, got);
    subject.size += got;
  }
  if (std::ferror(file.get())) return subject;
  subject.sha256 = digest.HexDigest();
  subject.known = true;
  return subject;
}

bool Records::Open(const std::string& logPath, const std::string& reportPath, std::string* why) {
  for (auto [path, file] : {std::pair{&logPath, &log_}, std::pair{&reportPath, &report_}}) {
    if (path->empty()) continue;
    file->reset(std::fopen(path->c_str(), "ab"));
    if (!*file) {
      *why = *path + ": cannot be written (" + std::strerror(errno) + ")";
      return false;
    }
  }
  return true;
}

void Records::SetRun(std::string job, Subject subject, std::vector<RecordPort> ports,
                     bool receives) {
  std::lock_guard<std::mutex> lock(mutex_);
  job_ = std::move(job);
  subject_ = std::move(subject);
  receives_ = receives;
  several_ = ports.size() > 1;
  for (auto& port : ports) ports_.push_back(PortState{std::move(port), {}});
}

Records::PortState* Records::Find(const std::string& port) {
  for (auto& state : ports_) {
    if (state.port.port == port) return &state;
  }
  return nullptr;
}

void Records::LogLine(const PortState* port, const std::string& text) {
  if (!log_) return;
  const std::string label = several_ && port ? " " + port->port.label + ":" : "";
  // One event a line, each with its time: the readout's words and file names
  // may hold line ends or terminal controls, which must not forge a line.
  const bool written = std::fprintf(log_.get(), "%s%s %s\n", IsoLocalNow().c_str(),
                                    EscapeControls(label).c_str(), EscapeControls(text).c_str()) > 0;
  if ((std::fflush(log_.get()) != 0 || !written) && logError_ == 0) logError_ = errno ? errno : EIO;
}

void Records::Log(const std::string& port, const std::string& line) {
  std::lock_guard<std::mutex> lock(mutex_);
  LogLine(Find(port), line);
}

void Records::Started(const std::string& port) {
  std::lock_guard<std::mutex> lock(mutex_);
  PortState* state = Find(port);
  if (!state) return;
  state->started = std::chrono::system_clock::now();
  const PortInfo& id = state->port.identity;
  std::string where = id.serial.empty() ? "" : ", serial " + id.serial;
  if (!id.location.empty()) where += ", location " + id.location;
  LogLine(state,
          "quillon " QUILLON_VERSION ": " + job_ + " on " + port + where + SubjectText(subject_));
}

std::string Records::ReportRecord(const PortState& p, const RunSummary& s,
                                  const Subject& subject) const {
  std::string r = "{\"version\":" + JsonString(QUILLON_VERSION) + Field("host", host_) +
                  Field("started", IsoLocalTime(p.started)) + Field("ended", IsoLocalNow()) +
                  Field("port", s.port) + Field("label", p.port.label) +
                  ",\"identity\":" + IdentityJson(p.port.identity) + Field("job", s.job) +
                  SubjectJson(subject) + Field("outcome", s.outcome) + Field("cause", s.cause) +
                  Field("reason", s.reason);
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%.3f", s.seconds);
  return r + ",\"" + s.unit + "\":" + std::to_string(s.bytes) + ",\"seconds\":" + seconds +
         ",\"exit\":" + std::to_string(s.exit) + "}";
}

std::string Records::Ended(const RunSummary& s) {
  std::lock_guard<std::mutex> lock(mutex_);
  PortState* state = Find(s.port);
  if (!state) return {};
  // A receive names what arrived: the file as it now is, when it is whole.
  Subject subject = subject_;
  if (receives_) {
    subject = s.outcome == "done" ? IdentifyFile("file", state->port.destination)
                                  : Subject{"file", state->port.destination, false, 0, {}};
  }
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%.3f", s.seconds);
  LogLine(state, "outcome: " + s.job + " " + s.outcome + ", cause " + s.cause +
                     (s.reason.empty() ? "" : " (" + s.reason + ")") + ", " +
                     std::to_string(s.bytes) + " " + s.unit + ", " + seconds + " s" +
                     SubjectText(subject));
  std::string failed;
  if (logError_ != 0 && !logErrorTold_) {
    logErrorTold_ = true;
    failed = std::string("the log could not be written: ") + std::strerror(logError_);
  }
  if (!report_) return failed;
  const std::string record = ReportRecord(*state, s, subject);
  std::fprintf(report_.get(), "%s\n", record.c_str());
  std::string why;
  if (!SyncFile(report_.get(), &why)) {
    failed += (failed.empty() ? "" : "; ") + std::string("the report could not be written to the disk: ") + why;
  }
  return failed;
}

}  // namespace quillon::cli
