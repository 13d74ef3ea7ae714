#include "support/support.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <map>
#include <random>
#include <sstream>
#include <thread>
#include <type_traits>

namespace quillon::test {

namespace fs = std::filesystem;

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

bool WaitFor(const std::function<bool()>& cond, double seconds) {
  const auto start = Clock::now();
  while (!cond()) {
    if (SecondsSince(start) > seconds) return cond();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

bool Exists(const std::string& path) {
  std::error_code error;
  return fs::exists(fs::symlink_status(path, error));
}

std::string RandomBytes(size_t count, unsigned seed) {
  std::mt19937 random(seed);
  std::string bytes(count, '\0');
  for (char& c : bytes) c = static_cast<char>(random() & 0xFF);
  return bytes;
}

std::string RowName(size_t index, const std::string& text) {
  std::string name = std::to_string(index) + "_" + text;
  for (char& c : name) c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
  return name;
}

TempDir::TempDir() {
  std::string name = (fs::temp_directory_path() / "quillon-test-XXXXXX").string();
  path = ::mkdtemp(name.data()) ? name : std::string();
  EXPECT_FALSE(path.empty()) << "mkdtemp: " << std::strerror(errno);
}

TempDir::~TempDir() {
  std::error_code ignored;
  if (!path.empty()) fs::remove_all(path, ignored);
}

// ---------------------------------------------------------------------------

Child::Child(const std::vector<std::string>& args, const std::string& dir, const std::string& input) {
  static std::atomic<int> serial{0};
  const std::string tag = std::to_string(::getpid()) + "-" + std::to_string(serial++);
  program_ = args.at(0);
  outPath_ = (fs::temp_directory_path() / ("quillon-out-" + tag)).string();
  errPath_ = (fs::temp_directory_path() / ("quillon-err-" + tag)).string();
  // Everything the child needs is made before the fork: the child of a
  // process with threads may not allocate.
  std::vector<char*> argv;
  for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  // ThreadSanitizer's own pause of a second at exit is not the program's.
  const char* options = std::getenv("TSAN_OPTIONS");
  std::string tsan = std::string("TSAN_OPTIONS=") + (options ? options : "") + " atexit_sleep_ms=0";
  std::vector<char*> env;
  for (char** e = environ; *e; ++e) {
    if (std::strncmp(*e, "TSAN_OPTIONS=", 13) != 0) env.push_back(*e);
  }
  env.push_back(tsan.data());
  env.push_back(nullptr);
  int in = ::open(input.c_str(), O_RDONLY | O_CLOEXEC);
  int out = ::open(outPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  int err = ::open(errPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  pid = ::fork();
  if (pid == 0) {
    ::dup2(in, 0);
    ::dup2(out, 1);
    ::dup2(err, 2);
    if (::chdir(dir.c_str()) != 0) ::_exit(126);
    ::execve(argv[0], argv.data(), env.data());
    ::_exit(127);
  }
  ::close(in);
  ::close(out);
  ::close(err);
  EXPECT_GT(pid, 0) << "fork: " << std::strerror(errno);
}

Child::~Child() {
  if (pid > 0) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
  }
  ::unlink(outPath_.c_str());
  ::unlink(errPath_.c_str());
}

bool Child::Wait(double seconds) {
  const auto start = Clock::now();
  for (;;) {
    int status = 0;
    rusage usage{};
    if (::wait4(pid, &status, WNOHANG, &usage) == pid) {
      ended = Clock::now();
      pid = -1;
      code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      auto secs = [](const timeval& t) {
        return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
      };
      cpuSeconds = secs(usage.ru_utime) + secs(usage.ru_stime);
      return true;
    }
    if (SecondsSince(start) > seconds) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, nullptr, 0);
      pid = -1;
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

bool Child::HasOpen(const std::string& path) const {
  std::error_code error;
  // Until the exec the child holds copies of this process's descriptors.
  const std::string proc = "/proc/" + std::to_string(pid);
  if (fs::read_symlink(proc + "/exe", error).filename() != fs::path(program_).filename())
    return false;
  for (const auto& fd : fs::directory_iterator(proc + "/fd", error)) {
    if (fs::read_symlink(fd.path(), error) == path) return true;
  }
  return false;
}

std::vector<std::string> QuillonArgs(const std::string& args) {
  std::vector<std::string> list{QUILLON_PROGRAM};
  std::istringstream in(args);
  for (std::string arg; in >> arg;) list.push_back(arg);
  return list;
}

Result RunQuillon(const std::string& args, const std::string& dir, double timeout) {
  return RunArgs(QuillonArgs(args), dir, timeout);
}

Result RunArgs(const std::vector<std::string>& args, const std::string& dir, double timeout) {
  const auto start = Clock::now();
  Child child(args, dir);
  bool ended = child.Wait(timeout);
  EXPECT_TRUE(ended) << args.back() << " still ran after " << timeout << " s";
  return Result{ended ? child.code : -1, child.Out(), child.Err(), SecondsSince(start)};
}

// ---------------------------------------------------------------------------

Sim::Sim(const std::string& args, const std::string& dir) {
  sim::SimOptions o;
  sim::LineOptions line;
  sim::FaultOptions& f = o.faults;
  o.storeDir = dir + "/store";
  o.saveImage = dir + "/image.bin";
  fs::create_directories(o.storeDir);
  std::istringstream in(args);
  auto text = [&] {
    std::string value;
    in >> std::quoted(value);
    return value;
  };
  auto number = [&](auto& field) {
    long long value = 0;
    in >> value;
    field = static_cast<std::remove_reference_t<decltype(field)>>(value);
  };
  const std::map<std::string, std::function<void()>> flags = {
      {"--mode", [&] { o.mode = text() == "boot" ? sim::SimMode::BOOT : sim::SimMode::APP; }},
      {"--baud", [&] { number(line.baud); }},
      {"--piece-size", [&] { number(o.pieceSize); }},
      {"--answer-delay", [&] { number(o.answerDelayMs); }},
      {"--answer-ids",
       [&] {
         const std::string ids = text();
         o.answerIds = ids == "echo"       ? sim::AnswerIds::ECHOED
                       : ids == "constant" ? sim::AnswerIds::CONSTANT
                                           : sim::AnswerIds::COUNTER;
       }},
      {"--resend-answer",
       [&] { o.resendAnswer = text() == "new" ? sim::ResendAnswer::NEW : sim::ResendAnswer::COPY; }},
      {"--no-erase", [&] { o.eraseDetect = false; }},
      {"--send-nop", [&] { o.sendNop = true; }},
      {"--erase-delay", [&] { number(o.eraseDelayMs); }},
      {"--send-log", [&] { o.sendLog.push_back(text()); }},
      {"--send-after", [&] { number(o.sendAfterMs); }},
      {"--send-erase-result", [&] { o.sendEraseResult = text(); }},
      {"--drop-nth", [&] { number(f.dropNth); }},
      {"--corrupt-checksum", [&] { number(f.corruptChecksum); }},
      {"--answer-bad-checksum", [&] { number(f.answerBadChecksum); }},
      {"--answer-remote-timeout", [&] { number(f.answerRemoteTimeout); }},
      {"--noise", [&] { number(f.noise); }},
      {"--stall-mid-packet", [&] { number(f.stallMidPacket); }},
      {"--hangup-after", [&] { number(f.hangupAfter); }},
      {"--split-writes", [&] { f.splitWrites = true; }},
      {"--silent", [&] { f.silent = true; }},
      {"--nlec-error", [&] { f.nlecError = true; }},
      {"--oversize-header", [&] { f.oversizeHeader = true; }},
      {"--wrong-final-checksum", [&] { f.wrongFinalChecksum = true; }},
      {"--file-error", [&] { f.fileError = text(); }},
  };
  for (std::string flag; in >> flag;) {
    auto option = flags.find(flag);
    if (option == flags.end()) {
      ADD_FAILURE() << "no such simulator option in the tests: " << flag;
      break;
    }
    option->second();
  }
  line_ = std::make_unique<sim::SimLine>(o, line);
  std::string error;
  EXPECT_TRUE(line_->Open(&error)) << error;
  line_->StartThread();
}

Sim::~Sim() { Close(); }

void Sim::Close() {
  if (line_) line_->Stop();
  line_.reset();
}

// ---------------------------------------------------------------------------

TestHost::TestHost(bool fakeClock) : fakeClock_(fakeClock) {}

uint32_t TestHost::TickCount() {
  if (fakeClock_) return tick.load();
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start_).count();
  return 1000 + static_cast<uint32_t>(ms);
}

void TestHost::Sleep(uint32_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

void TestHost::Post(UiMessage message) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    posts_.push_back(std::move(message));
  }
  posted_.notify_all();
}

std::string TestHost::SystemErrorText(int code) { return std::strerror(code); }

bool TestHost::Loop(const std::function<bool()>& done, double seconds,
                    const std::function<void(UiMessage)>& dispatch,
                    const std::function<void()>& timer) {
  const auto start = Clock::now();
  uint32_t nextTimer = TickCount() + 100;
  while (!done()) {
    if (SecondsSince(start) > seconds) return done();
    std::optional<UiMessage> message;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      posted_.wait_for(lock, std::chrono::milliseconds(10), [&] { return !posts_.empty(); });
      if (!posts_.empty()) {
        message = std::move(posts_.front());
        posts_.pop_front();
      }
    }
    if (message) dispatch(std::move(*message));
    if (static_cast<int32_t>(TickCount() - nextTimer) >= 0) {
      nextTimer += 100;
      timer();
    }
  }
  return true;
}

std::vector<PacketPtr> TestHost::TakePackets() {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<PacketPtr> packets;
  for (auto& message : posts_) {
    if (message.packet) packets.push_back(std::move(message.packet));
  }
  posts_.clear();
  return packets;
}

std::vector<std::string> TestHost::Lines() {
  std::lock_guard<std::mutex> lock(mutex_);
  return lines_;
}

std::vector<std::string> TestHost::Boxes() {
  std::lock_guard<std::mutex> lock(mutex_);
  return boxes_;
}

std::optional<std::string> TestHost::GetControlText(int id) {
  auto at = controls.find(id);
  if (at == controls.end()) return std::nullopt;
  return at->second.text;
}

void TestHost::OnLogLineAdded(const std::string& line) {
  std::lock_guard<std::mutex> lock(mutex_);
  lines_.push_back(line);
}

int TestHost::ShowMessageBox(const std::string& text, const std::string&, unsigned style, bool) {
  std::lock_guard<std::mutex> lock(mutex_);
  boxes_.push_back(text);
  lastStyle = style;
  if (!(style & MB_STYLE_YESNO)) return ANSWER_OK;
  if (answers.empty()) return ANSWER_YES;
  int answer = answers.front();
  answers.pop_front();
  return answer;
}

bool TestHost::ChooseOpenFile(std::string& name, const FileFilter&, const std::string&) {
  if (fileAnswers.empty()) return false;
  name = fileAnswers.front();
  fileAnswers.pop_front();
  return true;
}

bool TestHost::ChooseSaveFile(std::string& name, const FileFilter& filter) {
  return ChooseOpenFile(name, filter, "");
}

bool TestHost::CreateTempFile(const std::string& prefix, std::string& path) {
  std::string name = (fs::temp_directory_path() / (prefix + "XXXXXX")).string();
  int fd = ::mkstemp(name.data());
  if (fd < 0) return false;
  ::close(fd);
  path = name;
  return true;
}

int TestHost::RunProgramNamePrompt(std::string& name) {
  name = programName;
  return 1;
}

}  // namespace quillon::test
