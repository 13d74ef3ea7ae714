#include "sim_harness.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>

#ifndef QUILLON_BINARY_DIR
#define QUILLON_BINARY_DIR "."
#endif

namespace quillon::sim::test {

namespace {
constexpr milliseconds POLL_STEP{10};
}

Entries Frames(const Entries& entries, const std::string& dir, int cmd) {
  Entries out;
  for (const auto& e : entries)
    if (e.dir == dir && e.kind == "frame" && (cmd < 0 || e.cmd == cmd)) out.push_back(e);
  return out;
}

Entries WithFault(const Entries& entries, const std::string& fault) {
  Entries out;
  for (const auto& e : entries)
    if (e.fault == fault) out.push_back(e);
  return out;
}

Entries OfKind(const Entries& entries, const std::string& dir, const std::string& kind) {
  Entries out;
  for (const auto& e : entries)
    if (e.dir == dir && e.kind == kind) out.push_back(e);
  return out;
}

std::vector<uint8_t> StreamBytes(const Entries& entries, const std::string& dir) {
  std::vector<uint8_t> out;
  for (const auto& e : entries) {
    if (e.dir != dir || e.kind == "dropped" || e.kind == "hangup") continue;
    auto bytes = FromHex(e.hex);
    out.insert(out.end(), bytes.begin(), bytes.end());
  }
  return out;
}

bool WaitUntil(const std::function<bool()>& cond, milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!cond()) {
    if (std::chrono::steady_clock::now() >= deadline) return cond();
    std::this_thread::sleep_for(POLL_STEP);
  }
  return true;
}

bool WaitForFileSize(const std::string& path, uintmax_t size, milliseconds timeout) {
  return WaitUntil(
      [&] {
        std::error_code error;
        return std::filesystem::exists(path, error) && std::filesystem::file_size(path, error) == size &&
               !error;
      },
      timeout);
}

ScratchDir::ScratchDir() {
  std::random_device rd;
  path_ = (std::filesystem::temp_directory_path() / ("quillon_e2e_" + std::to_string(rd()) + "_" +
                                                     std::to_string(getpid())))
              .string();
  std::filesystem::create_directories(path_);
}

ScratchDir::~ScratchDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

// --- in-process ----------------------------------------------------------------

SimHarness::SimHarness(SimOptions options, LineOptions line) {
  line_ = std::make_unique<SimLine>(std::move(options), std::move(line));
  ok_ = line_->Open(&error_);
  if (ok_) line_->StartThread();
}

SimHarness::~SimHarness() { Stop(); }

void SimHarness::Stop() { line_->Stop(); }

bool SimHarness::WaitForTranscript(const std::function<bool(const Entries&)>& pred,
                                   milliseconds timeout) const {
  return line_->transcript().WaitUntil(pred, timeout);
}

bool SimHarness::WaitForFrame(const std::string& dir, int cmd, milliseconds timeout,
                              TranscriptEntry* found) const {
  Entries seen;
  bool ok = WaitForTranscript(
      [&](const Entries& entries) {
        seen = Frames(entries, dir, cmd);
        return !seen.empty();
      },
      timeout);
  if (ok && found != nullptr) *found = seen.front();
  return ok;
}

bool SimHarness::WaitForBytes(const std::string& dir, size_t count, milliseconds timeout) const {
  return WaitForTranscript([&](const Entries& e) { return StreamBytes(e, dir).size() >= count; },
                           timeout);
}

// --- as a process ----------------------------------------------------------------

std::string SimProcess::BinaryPath() { return QUILLON_BINARY_DIR "/src/sim/quillon-sim"; }

SimProcess::SimProcess(std::vector<std::string> args) {
  transcriptPath_ = scratch_.File("transcript.jsonl");
  std::vector<std::string> all = {BinaryPath(), "--transcript", transcriptPath_};
  all.insert(all.end(), args.begin(), args.end());
  // Built before the fork: the child of a threaded process may not allocate.
  std::vector<char*> argv;
  for (auto& a : all) argv.push_back(a.data());
  argv.push_back(nullptr);
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return;
  pid_ = fork();
  if (pid_ == 0) {
    dup2(fds[1], STDOUT_FILENO);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(fds[1]);
  outFd_ = fds[0];
  if (pid_ < 0) return;
  // The first line is the path; give the program a few seconds to start.
  std::string line;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < deadline) {
    pollfd p{outFd_, POLLIN, 0};
    if (poll(&p, 1, 100) <= 0) continue;
    char c = 0;
    ssize_t n = read(outFd_, &c, 1);
    if (n <= 0) break;
    if (c == '\n') {
      path_ = line;
      break;
    }
    line.push_back(c);
  }
  reader_ = std::thread([this] { ReadOutput(); });
}

void SimProcess::ReadOutput() {
  std::string line;
  char buffer[256];
  while (true) {
    ssize_t n = read(outFd_, buffer, sizeof buffer);
    if (n <= 0) break;
    for (ssize_t i = 0; i < n; ++i) {
      if (buffer[i] == '\n') {
        std::lock_guard<std::mutex> lock(mutex_);
        lines_.push_back(line);
        line.clear();
      } else {
        line.push_back(buffer[i]);
      }
    }
  }
}

SimProcess::~SimProcess() {
  Terminate();
  if (reader_.joinable()) reader_.join();
  if (outFd_ >= 0) close(outFd_);
}

void SimProcess::Terminate() {
  if (pid_ <= 0 || exited_) return;
  kill(pid_, SIGTERM);
  int status = 0;
  if (!WaitForExit(milliseconds(5000), &status)) {
    kill(pid_, SIGKILL);
    waitpid(pid_, &status, 0);
    exited_ = true;
  }
}

bool SimProcess::WaitForExit(milliseconds timeout, int* status) {
  if (pid_ <= 0) return false;
  bool done = WaitUntil(
      [&] {
        if (exited_) return true;
        pid_t r = waitpid(pid_, &status_, WNOHANG);
        if (r == pid_) exited_ = true;
        return exited_;
      },
      timeout);
  if (done && status != nullptr) *status = status_;
  return done;
}

Entries SimProcess::Transcript() const {
  Entries out;
  std::ifstream in(transcriptPath_);
  std::string line;
  while (std::getline(in, line)) {
    TranscriptEntry e;
    if (FromJson(line, &e)) out.push_back(std::move(e));
  }
  return out;
}

bool SimProcess::WaitForTranscript(const std::function<bool(const Entries&)>& pred,
                                   milliseconds timeout) const {
  return WaitUntil([&] { return pred(Transcript()); }, timeout);
}

std::vector<std::string> SimProcess::OutputLines() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return lines_;
}

bool SimProcess::WaitForOutput(const std::string& wanted, milliseconds timeout) const {
  return WaitUntil(
      [&] {
        for (const auto& l : OutputLines())
          if (l == wanted) return true;
        return false;
      },
      timeout);
}

}  // namespace quillon::sim::test
