// The quillon program against quillon-sim on a pseudo-terminal: every
// command, the files it moves, its exit codes and its output when no one is
// at a terminal. Each wait is for a condition (a line of output, a process's
// end) with a deadline.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

const std::string QUILLON = QUILLON_BINARY_DIR "/src/cli/quillon";
const std::string SIM = QUILLON_BINARY_DIR "/src/sim/quillon-sim";

pid_t Spawn(const std::vector<std::string>& args, int in, int out, int err, const std::string& dir) {
  pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(in, STDIN_FILENO);
    ::dup2(out, STDOUT_FILENO);
    ::dup2(err, STDERR_FILENO);
    if (!dir.empty() && ::chdir(dir.c_str()) != 0) ::_exit(126);
    std::vector<char*> argv;
    for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  return pid;
}

// Reads both pipes until both close or the deadline passes; calls onErr with
// everything read from standard error so far after each piece.
bool Drain(int outFd, int errFd, std::string& out, std::string& err, Clock::time_point deadline,
           const std::function<void(const std::string&)>& onErr = nullptr) {
  pollfd fds[2] = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}};
  int open = 2;
  while (open > 0) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return false;
    if (::poll(fds, 2, static_cast<int>(left)) < 0) return false;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buffer[4096];
      ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
      if (n <= 0) {
        fds[i].fd = -1;
        --open;
        continue;
      }
      (i == 0 ? out : err).append(buffer, static_cast<size_t>(n));
      if (i == 1 && onErr) onErr(err);
    }
  }
  return true;
}

struct Result {
  int code = -1;
  std::string out;
  std::string err;
};

// Runs quillon with the arguments; standard input is the given text (a file,
// so it never blocks), or /dev/null.
Result Quillon(const std::vector<std::string>& args, const std::string& dir,
               const std::function<void(pid_t, const std::string&)>& onErr = nullptr,
               int timeoutSeconds = 90, const std::string& input = "") {
  std::vector<std::string> argv{QUILLON};
  argv.insert(argv.end(), args.begin(), args.end());
  int out[2], err[2];
  EXPECT_EQ(::pipe2(out, O_CLOEXEC), 0);
  EXPECT_EQ(::pipe2(err, O_CLOEXEC), 0);
  std::string inputPath = "/dev/null";
  if (!input.empty()) {
    inputPath = dir + "/stdin.txt";
    std::ofstream(inputPath, std::ios::binary) << input;
  }
  int in = ::open(inputPath.c_str(), O_RDONLY | O_CLOEXEC);
  pid_t pid = Spawn(argv, in, out[1], err[1], dir);
  ::close(in);
  ::close(out[1]);
  ::close(err[1]);
  Result result;
  bool ended = Drain(out[0], err[0], result.out, result.err,
                     Clock::now() + std::chrono::seconds(timeoutSeconds),
                     onErr ? std::function<void(const std::string&)>(
                                 [&](const std::string& e) { onErr(pid, e); })
                           : nullptr);
  ::close(out[0]);
  ::close(err[0]);
  if (!ended) ::kill(pid, SIGKILL);
  int status = 0;
  ::waitpid(pid, &status, 0);
  EXPECT_TRUE(ended) << "quillon did not end: " << result.out << result.err;
  result.code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  // In the sanitizer builds a report also ends the program with 1: never take it for a result.
  EXPECT_EQ(result.err.find("Sanitizer"), std::string::npos) << result.err;
  EXPECT_EQ(result.err.find("runtime error"), std::string::npos) << result.err;
  return result;
}

// One simulated readout for the life of a test.
class Sim {
 public:
  Sim(const std::vector<std::string>& args, const std::string& dir) {
    std::vector<std::string> argv{SIM};
    argv.insert(argv.end(), args.begin(), args.end());
    int out[2];
    EXPECT_EQ(::pipe2(out, O_CLOEXEC), 0);
    int in = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    errFile_ = dir + "/sim.err";
    int err = ::open(errFile_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    pid_ = Spawn(argv, in, out[1], err, dir);
    ::close(in);
    ::close(err);
    ::close(out[1]);
    outFd_ = out[0];
    path = ReadLine(std::chrono::seconds(20));
  }
  ~Sim() {
    Stop();
    ::close(outFd_);
  }

  // Ends the readout; a bootloader-mode readout saves the image it got first.
  void Stop() {
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      ::waitpid(pid_, nullptr, 0);
      pid_ = -1;
    }
  }

  // The next line the readout prints (its display), or empty at the deadline.
  std::string ReadLine(Clock::duration within) {
    Clock::time_point deadline = Clock::now() + within;
    for (;;) {
      size_t nl = buffered_.find('\n');
      if (nl != std::string::npos) {
        std::string line = buffered_.substr(0, nl);
        buffered_.erase(0, nl + 1);
        return line;
      }
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) return {};
      pollfd fd{outFd_, POLLIN, 0};
      if (::poll(&fd, 1, static_cast<int>(left)) <= 0) return {};
      char buffer[512];
      ssize_t n = ::read(outFd_, buffer, sizeof buffer);
      if (n <= 0) return {};
      buffered_.append(buffer, static_cast<size_t>(n));
    }
  }

  // Waits for a display line holding text.
  bool WaitFor(const std::string& text) {
    for (;;) {
      std::string line = ReadLine(std::chrono::seconds(20));
      if (line.empty()) return false;
      if (line.find(text) != std::string::npos) return true;
    }
  }

  std::string path;

 private:
  pid_t pid_ = -1;
  int outFd_ = -1;
  std::string errFile_;
  std::string buffered_;
};

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFile(const fs::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

std::string RandomBytes(size_t n, uint32_t seed) {
  std::mt19937 random(seed);
  std::string bytes(n, '\0');
  for (char& c : bytes) c = static_cast<char>(random() & 0xFF);
  return bytes;
}

class CliE2e : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(fs::exists(QUILLON)) << QUILLON;
    ASSERT_TRUE(fs::exists(SIM)) << SIM;
    std::random_device random;
    dir = fs::temp_directory_path() / ("quillon-cli-e2e-" + std::to_string(random()));
    fs::create_directories(dir / "store");
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir, ec);
  }
  std::string D(const std::string& name) const { return (dir / name).string(); }

  fs::path dir;
};

TEST_F(CliE2e, EveryPacketCommandSucceedsAndReceivedFilesAreIdentical) {
  Sim sim({"--store", D("store")}, dir.string());
  ASSERT_FALSE(sim.path.empty());
  const std::string port = sim.path;

  std::string settings = RandomBytes(3000, 1);
  std::string program = RandomBytes(1000, 2);
  WriteFile(dir / "settings.bin", settings);
  WriteFile(dir / "program.bin", program);

  // Without a terminal, progress comes as one plain line per tenth.
  Result r = Quillon({"--port", port, "--log", D("event.log"), "send", "settings", D("settings.bin")},
                     dir.string());
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, "Transfer of settings sucessfully completed.\n");
  EXPECT_NE(r.err.find("progress: 100% (3000 of 3000 bytes)"), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find('\r'), std::string::npos);
  EXPECT_NE(ReadFile(dir / "event.log").find("Sending Settings..."), std::string::npos);
  EXPECT_EQ(ReadFile(dir / "store" / "settings.bin"), settings);

  r = Quillon({"--port", port, "--quiet", "receive", "settings", D("settings-back.bin")}, dir.string());
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, "Transfer of settings sucessfully completed.\n");
  EXPECT_EQ(r.err, "");  // --quiet: no progress
  EXPECT_EQ(ReadFile(dir / "settings-back.bin"), settings);

  r = Quillon({"--port", port, "-q", "send", "program", D("program.bin")}, dir.string());
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, "Transfer of program sucessfully completed.\n");
  r = Quillon({"--port", port, "-q", "receive", "program", "PROG1", D("program-back.bin")}, dir.string());
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, "Transfer of program sucessfully completed.\n");
  EXPECT_EQ(ReadFile(dir / "program-back.bin"), program);

  WriteFile(dir / "bitmap.txt", "static const unsigned char pic[] = {\r\n  0x1F, 0xa0,\r\n  0x00, 0xFF\r\n};\r\n");
  r = Quillon({"--port", port, "-q", "send", "bitmap", D("bitmap.txt")}, dir.string());
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, "Bitmap Transfer sucessfully completed.\n");
  EXPECT_EQ(ReadFile(dir / "store" / "bitmap.bin"), std::string("\x1F\xA0\x00\xFF", 4));

  std::string table = "NLEC table\r\n1,2,3\r\n4,5,6\r\n";
  WriteFile(dir / "nlec.txt", table);
  r = Quillon({"--port", port, "-q", "nlec", "send", D("nlec.txt")}, dir.string());
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out.rfind("NLEC Transfer completed in ", 0), 0u) << r.out;
  r = Quillon({"--port", port, "-q", "nlec", "get", D("nlec-back.txt")}, dir.string());
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out.rfind("NLEC Transfer completed in ", 0), 0u) << r.out;
  EXPECT_EQ(ReadFile(dir / "nlec-back.txt"), table);

  // The readout answers the test packet; the answer is printed.
  r = Quillon({"--port", port, "test"}, dir.string());
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("100000"), std::string::npos) << r.out;
}

TEST_F(CliE2e, MonitorPrintsWhatTheReadoutSends) {
  Sim sim({"--store", D("store"), "--send-log", "hello from the readout", "--send-after", "300"},
          dir.string());
  Result r = Quillon({"--port", sim.path, "monitor", "--seconds", "2"}, dir.string());
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("RAW_DATA: "), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("hello from the readout"), std::string::npos) << r.out;
}

TEST_F(CliE2e, DownloadAndEraseAgainstTheBootloader) {
  std::string image = RandomBytes(40000, 3);
  WriteFile(dir / "image.bin", image);
  {
    // The readouts stay on the line to the end: one that hung up the moment
    // it had every byte could cut the host's last write short.
    Sim sim({"--mode", "boot", "--save-image", D("received.bin")}, dir.string());
    Result r = Quillon({"--port", sim.path, "download", "software", "--image", D("image.bin")},
                       dir.string());
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find("40000 bytes sent."), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Please verify that the number of data bytes transmitted (40000) matches"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.err.find("progress: 100% (40000 of 40000 bytes)"), std::string::npos) << r.err;
    EXPECT_TRUE(sim.WaitFor("(40000)"));  // the count on the readout's display
    sim.Stop();
    EXPECT_EQ(ReadFile(dir / "received.bin"), image);
  }
  {
    Sim sim({"--mode", "boot", "--save-image", D("received38400.bin")}, dir.string());
    Result r = Quillon({"--port", sim.path, "-q", "download", "bootloader", "--baud", "38400",
                        "--image", D("image.bin")},
                       dir.string());
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_TRUE(sim.WaitFor("(40000)"));
    sim.Stop();
    EXPECT_EQ(ReadFile(dir / "received38400.bin"), image);
  }
  {
    Sim sim({"--mode", "boot"}, dir.string());
    Result r = Quillon({"--port", sim.path, "erase", "--yes"}, dir.string());
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, "Done erasing user storage.\n");
    // No one to ask and no --yes: refused before anything is sent.
    r = Quillon({"--port", sim.path, "erase"}, dir.string());
    EXPECT_EQ(r.code, 2);
    EXPECT_NE(r.err.find("--yes"), std::string::npos);
  }
}

TEST_F(CliE2e, TheGuideLeadsThroughASoftwareDownload) {
  std::string image = RandomBytes(30356, 6);
  WriteFile(dir / "image.bin", image);
  Sim sim({"--mode", "boot", "--save-image", D("received.bin")}, dir.string());
  // Next, Next, Software, Next (the download), then Close on page 6.
  Result r = Quillon({"--port", sim.path, "guide", "--image", D("image.bin")}, dir.string(), nullptr,
                     90, "\n\ns\n\nq\n");
  EXPECT_EQ(r.code, 0) << r.err;
  size_t step1 = r.out.find("STEP 1 - Connecting the USB Cable");
  size_t step3 = r.out.find("Select \"Bootloader\" or \"Software\".");
  size_t step4 = r.out.find("STEP 4 - Downloading the Software");
  size_t done = r.out.find("Please verify that the number of data bytes transmitted (30356) matches");
  ASSERT_NE(step1, std::string::npos) << r.out;
  ASSERT_NE(step3, std::string::npos) << r.out;
  ASSERT_NE(step4, std::string::npos) << r.out;
  ASSERT_NE(done, std::string::npos) << r.out;
  EXPECT_LT(step1, step3);
  EXPECT_LT(step3, step4);
  EXPECT_LT(step4, done);
  EXPECT_NE(r.out.find("Press CLOSE to exit this program."), std::string::npos);
  EXPECT_TRUE(sim.WaitFor("(30356)"));
  sim.Stop();
  EXPECT_EQ(ReadFile(dir / "received.bin"), image);
}

TEST_F(CliE2e, FailuresOfTheReadoutEndWithOne) {
  WriteFile(dir / "settings.bin", RandomBytes(3000, 4));
  WriteFile(dir / "nlec.txt", "a\r\nb\r\n");
  {
    Sim sim({"--store", D("store"), "--wrong-final-checksum"}, dir.string());
    Result r = Quillon({"--port", sim.path, "-q", "send", "settings", D("settings.bin")}, dir.string());
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.out, "Settings transfer failure.\n");
    r = Quillon({"--port", sim.path, "-q", "nlec", "send", D("nlec.txt")}, dir.string());
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.out, "Nlec Checksum Failure.\n");
  }
  {
    Sim sim({"--store", D("store"), "--silent"}, dir.string());
    Result r = Quillon({"--port", sim.path, "-q", "send", "settings", D("settings.bin")}, dir.string());
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.out, "Binary Test transfer failure. Retry count exceeded.\n");
  }
  {
    Sim sim({"--store", D("store"), "--file-error", "Disk full"}, dir.string());
    Result r = Quillon({"--port", sim.path, "-q", "receive", "settings", D("out.bin")}, dir.string());
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.out, "Settings transfer failure.\n");
  }
  {
    // An NLEC error ends the transfer through the stop command, without a box.
    Sim sim({"--store", D("store"), "--nlec-error"}, dir.string());
    Result r = Quillon({"--port", sim.path, "-q", "nlec", "send", D("nlec.txt")}, dir.string());
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("Nlec transfer halted."), std::string::npos) << r.err;
  }
  {
    // The line hangs up part-way through.
    Sim sim({"--store", D("store"), "--hangup-after", "600"}, dir.string());
    Result r = Quillon({"--port", sim.path, "-q", "send", "settings", D("settings.bin")}, dir.string());
    EXPECT_EQ(r.code, 1) << r.out << r.err;
  }
}

TEST_F(CliE2e, LocalAndPortProblemsEndWithTwoOrThree) {
  Sim sim({"--store", D("store")}, dir.string());
  Result r = Quillon({"--port", sim.path, "send", "settings", D("missing.bin")}, dir.string());
  EXPECT_EQ(r.code, 2);
  EXPECT_NE(r.err.find("missing.bin"), std::string::npos);

  r = Quillon({"--port", sim.path, "frobnicate"}, dir.string());
  EXPECT_EQ(r.code, 2);

  r = Quillon({"--port", D("no-such-port"), "test"}, dir.string());
  EXPECT_EQ(r.code, 3);
  EXPECT_NE(r.err.find("does not exist"), std::string::npos) << r.err;

  // Another program holds the port.
  int holder = ::open(sim.path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(holder, 0);
  ASSERT_EQ(::flock(holder, LOCK_EX | LOCK_NB), 0);
  r = Quillon({"--port", sim.path, "test"}, dir.string());
  EXPECT_EQ(r.code, 3);
  EXPECT_NE(r.err.find("busy"), std::string::npos) << r.err;
  ::close(holder);
}

TEST_F(CliE2e, CtrlCDuringAReceiveKeepsThePartReceived) {
  // 20,000 bytes at a paced 9600 baud take about 20 s: long enough to interrupt.
  std::string settings = RandomBytes(20000, 5);
  WriteFile(dir / "store" / "settings.bin", settings);
  Sim sim({"--store", D("store"), "--baud", "9600"}, dir.string());
  bool sent = false;
  Result r = Quillon({"--port", sim.path, "receive", "settings", D("partial.bin")}, dir.string(),
                     [&sent](pid_t pid, const std::string& err) {
                       if (!sent && err.find("progress: 10%") != std::string::npos) {
                         ::kill(pid, SIGINT);
                         sent = true;
                       }
                     });
  ASSERT_TRUE(sent) << r.err;
  EXPECT_EQ(r.code, 130) << r.err;
  EXPECT_NE(r.err.find(D("partial.bin")), std::string::npos) << r.err;
  std::string partial = ReadFile(dir / "partial.bin");
  EXPECT_GE(partial.size(), 2000u);
  EXPECT_LT(partial.size(), settings.size());
  EXPECT_EQ(partial, settings.substr(0, partial.size()));
}

}  // namespace
