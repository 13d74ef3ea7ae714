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

#include "sim_harness.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

const std::string QUILLON = QUILLON_BINARY_DIR "/src/cli/quillon";
using quillon::sim::test::SimProcess;
const std::chrono::seconds WAIT{20};

// The argument list is built before the fork: the child of a threaded
// process (the simulator's harness reads on a thread) may not allocate.
pid_t Spawn(std::vector<std::string> args, int in, int out, int err, const std::string& dir) {
  std::vector<char*> argv;
  for (auto& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(in, STDIN_FILENO);
    ::dup2(out, STDOUT_FILENO);
    ::dup2(err, STDERR_FILENO);
    if (::chdir(dir.c_str()) != 0) ::_exit(126);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  return pid;
}

// Milliseconds left to the deadline, at least zero.
int Left(Clock::time_point deadline) {
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return ms > 0 ? static_cast<int>(ms) : 0;
}

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

bool Has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

struct Result {
  int code = -1;
  std::string out;
  std::string err;
};

class CliE2e : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(fs::exists(QUILLON)) << QUILLON;
    dir = fs::temp_directory_path() / ("quillon-cli-e2e-" + std::to_string(std::random_device()()));
    fs::create_directories(dir / "store");
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir, ec);
  }
  std::string D(const std::string& name) const { return (dir / name).string(); }

  // Runs quillon; standard input is the given text (a file, so it never
  // blocks) or /dev/null. onErr sees standard error so far after each piece.
  Result Run(std::vector<std::string> args, const std::string& input = "",
             const std::function<void(pid_t, const std::string&)>& onErr = nullptr) {
    args.insert(args.begin(), QUILLON);
    int out[2], err[2];
    EXPECT_EQ(::pipe2(out, O_CLOEXEC), 0);
    EXPECT_EQ(::pipe2(err, O_CLOEXEC), 0);
    if (!input.empty()) WriteFile(dir / "stdin.txt", input);
    int in = ::open(input.empty() ? "/dev/null" : D("stdin.txt").c_str(), O_RDONLY | O_CLOEXEC);
    pid_t pid = Spawn(args, in, out[1], err[1], dir.string());
    ::close(in);
    ::close(out[1]);
    ::close(err[1]);
    Result result;
    Clock::time_point deadline = Clock::now() + std::chrono::seconds(90);
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    int open = 2;
    bool ended = true;
    while (open > 0 && (ended = ::poll(fds, 2, Left(deadline)) > 0)) {
      for (int i = 0; i < 2; ++i) {
        if (fds[i].fd < 0 || fds[i].revents == 0) continue;
        char buffer[4096];
        ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
        if (n <= 0) {
          fds[i].fd = -1;
          --open;
          continue;
        }
        (i == 0 ? result.out : result.err).append(buffer, static_cast<size_t>(n));
        if (i == 1 && onErr) onErr(pid, result.err);
      }
    }
    ::close(out[0]);
    ::close(err[0]);
    if (!ended) ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
    EXPECT_TRUE(ended) << "quillon did not end: " << result.out << result.err;
    result.code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    // In the sanitizer builds a report also ends the program with 1: never take it for a result.
    EXPECT_FALSE(Has(result.err, "Sanitizer") || Has(result.err, "runtime error")) << result.err;
    return result;
  }

  // Runs quillon and checks its exit code and, when given, its whole output.
  Result Expect(const std::vector<std::string>& args, int code, const char* out = nullptr) {
    Result r = Run(args);
    EXPECT_EQ(r.code, code) << r.out << r.err;
    if (out) {
      EXPECT_EQ(r.out, out);
    }
    return r;
  }

  fs::path dir;
};

TEST_F(CliE2e, EveryPacketCommandSucceedsAndReceivedFilesAreIdentical) {
  SimProcess sim({"--store", D("store")});
  ASSERT_TRUE(sim.Ok());
  const std::string port = sim.SlavePath();
  const std::string settings = RandomBytes(3000, 1), program = RandomBytes(1000, 2);
  WriteFile(dir / "settings.bin", settings);
  WriteFile(dir / "program.bin", program);

  // Without a terminal, progress comes as one plain line per tenth.
  Result r = Expect({"--port", port, "--log", D("event.log"), "send", "settings", D("settings.bin")},
                    0, "Transfer of settings sucessfully completed.\n");
  EXPECT_TRUE(Has(r.err, "progress: 100% (3000 of 3000 bytes)")) << r.err;
  EXPECT_FALSE(Has(r.err, "\r"));
  EXPECT_TRUE(Has(ReadFile(dir / "event.log"), "Sending Settings..."));
  EXPECT_EQ(ReadFile(dir / "store" / "settings.bin"), settings);

  r = Expect({"--port", port, "--quiet", "receive", "settings", D("settings-back.bin")}, 0,
             "Transfer of settings sucessfully completed.\n");
  EXPECT_EQ(r.err, "");  // --quiet: no progress
  EXPECT_EQ(ReadFile(dir / "settings-back.bin"), settings);

  Expect({"--port", port, "-q", "send", "program", D("program.bin")}, 0,
         "Transfer of program sucessfully completed.\n");
  Expect({"--port", port, "-q", "receive", "program", "PROG1", D("program-back.bin")}, 0,
         "Transfer of program sucessfully completed.\n");
  EXPECT_EQ(ReadFile(dir / "program-back.bin"), program);

  WriteFile(dir / "bitmap.txt", "static const unsigned char pic[] = {\r\n  0x1F, 0xa0,\r\n  0x00, 0xFF\r\n};\r\n");
  Expect({"--port", port, "-q", "send", "bitmap", D("bitmap.txt")}, 0,
         "Bitmap Transfer sucessfully completed.\n");
  EXPECT_EQ(ReadFile(dir / "store" / "bitmap.bin"), std::string("\x1F\xA0\x00\xFF", 4));

  const std::string table = "NLEC table\r\n1,2,3\r\n4,5,6\r\n";
  WriteFile(dir / "nlec.txt", table);
  r = Expect({"--port", port, "-q", "nlec", "send", D("nlec.txt")}, 0);
  EXPECT_EQ(r.out.rfind("NLEC Transfer completed in ", 0), 0u) << r.out;
  r = Expect({"--port", port, "-q", "nlec", "get", D("nlec-back.txt")}, 0);
  EXPECT_EQ(r.out.rfind("NLEC Transfer completed in ", 0), 0u) << r.out;
  EXPECT_EQ(ReadFile(dir / "nlec-back.txt"), table);

  // The readout answers the test packet; the answer is printed.
  r = Expect({"--port", port, "test"}, 0);
  EXPECT_TRUE(Has(r.out, "100000")) << r.out;
}

TEST_F(CliE2e, MonitorPrintsWhatTheReadoutSends) {
  SimProcess sim({"--store", D("store"), "--send-log", "hello from the readout", "--send-after", "300"});
  Result r = Expect({"--port", sim.SlavePath(), "monitor", "--seconds", "2"}, 0);
  EXPECT_TRUE(Has(r.out, "RAW_DATA: ")) << r.out;
  EXPECT_TRUE(Has(r.out, "hello from the readout")) << r.out;
}

TEST_F(CliE2e, DownloadAndEraseAgainstTheBootloader) {
  const std::string image = RandomBytes(40000, 3);
  WriteFile(dir / "image.bin", image);
  // The readouts stay on the line to the end: one that hung up the moment it
  // had every byte could cut the host's last write short.
  for (const char* what : {"software", "bootloader"}) {
    SCOPED_TRACE(what);
    SimProcess sim({"--mode", "boot", "--save-image", D("received.bin")});
    const bool software = std::string(what) == "software";
    Result r = software ? Expect({"--port", sim.SlavePath(), "download", what, "--image", D("image.bin")}, 0)
                        : Expect({"--port", sim.SlavePath(), "-q", "download", what, "--baud", "38400",
                                  "--image", D("image.bin")}, 0);
    if (software) {
      EXPECT_TRUE(Has(r.out, "40000 bytes sent.")) << r.out;
      EXPECT_TRUE(Has(r.out, "Please verify that the number of data bytes transmitted (40000) matches"));
      EXPECT_TRUE(Has(r.err, "progress: 100% (40000 of 40000 bytes)")) << r.err;
    }
    EXPECT_TRUE(sim.WaitForOutput("(40000)", WAIT));  // the count on the readout's display
    sim.Terminate();
    EXPECT_EQ(ReadFile(dir / "received.bin"), image);
    fs::remove(dir / "received.bin");
  }
  SimProcess sim({"--mode", "boot"});
  Expect({"--port", sim.SlavePath(), "erase", "--yes"}, 0, "Done erasing user storage.\n");
  // No one to ask and no --yes: refused before anything is sent.
  EXPECT_TRUE(Has(Expect({"--port", sim.SlavePath(), "erase"}, 2).err, "--yes"));
}

TEST_F(CliE2e, TheGuideLeadsThroughASoftwareDownload) {
  const std::string image = RandomBytes(30356, 6);
  WriteFile(dir / "image.bin", image);
  SimProcess sim({"--mode", "boot", "--save-image", D("received.bin")});
  // Next, Next, Software, Next (the download), then Close on page 6.
  Result r = Run({"--port", sim.SlavePath(), "guide", "--image", D("image.bin")}, "\n\ns\n\nq\n");
  EXPECT_EQ(r.code, 0) << r.err;
  size_t at = 0;
  for (const char* text : {"STEP 1 - Connecting the USB Cable", "Select \"Bootloader\" or \"Software\".",
                           "STEP 4 - Downloading the Software",
                           "Please verify that the number of data bytes transmitted (30356) matches",
                           "Press CLOSE to exit this program."}) {
    at = r.out.find(text, at);
    ASSERT_NE(at, std::string::npos) << text << " in order in " << r.out;
  }
  EXPECT_TRUE(sim.WaitForOutput("(30356)", WAIT));
  sim.Terminate();
  EXPECT_EQ(ReadFile(dir / "received.bin"), image);
}

TEST_F(CliE2e, FailuresOfTheReadoutEndWithOne) {
  WriteFile(dir / "settings.bin", RandomBytes(3000, 4));
  WriteFile(dir / "nlec.txt", "a\r\nb\r\n");
  const std::vector<std::string> sendSettings{"-q", "send", "settings", D("settings.bin")};
  const std::vector<std::string> sendNlec{"-q", "nlec", "send", D("nlec.txt")};
  struct Case {
    std::vector<std::string> sim, args;
    const char* out;  // the whole output, or nullptr
    const char* err;  // a part of standard error, or nullptr
  };
  const Case cases[] = {
      {{"--wrong-final-checksum"}, sendSettings, "Settings transfer failure.\n", nullptr},
      {{"--wrong-final-checksum"}, sendNlec, "Nlec Checksum Failure.\n", nullptr},
      {{"--silent"}, sendSettings, "Binary Test transfer failure. Retry count exceeded.\n", nullptr},
      {{"--file-error", "Disk full"}, {"-q", "receive", "settings", D("out.bin")},
       "Settings transfer failure.\n", nullptr},
      // An NLEC error ends the transfer through the stop command, without a box.
      {{"--nlec-error"}, sendNlec, nullptr, "Nlec transfer halted."},
      // The line hangs up part-way through.
      {{"--hangup-after", "600"}, sendSettings, nullptr, nullptr}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.sim[0]);
    std::vector<std::string> simArgs{"--store", D("store")};
    simArgs.insert(simArgs.end(), c.sim.begin(), c.sim.end());
    SimProcess sim(simArgs);
    std::vector<std::string> args{"--port", sim.SlavePath()};
    args.insert(args.end(), c.args.begin(), c.args.end());
    Result r = Expect(args, 1, c.out);
    if (c.err) {
      EXPECT_TRUE(Has(r.err, c.err)) << r.err;
    }
  }
}

TEST_F(CliE2e, LocalAndPortProblemsEndWithTwoOrThree) {
  SimProcess sim({"--store", D("store")});
  EXPECT_TRUE(Has(Expect({"--port", sim.SlavePath(), "send", "settings", D("missing.bin")}, 2).err, "missing.bin"));
  Expect({"--port", sim.SlavePath(), "frobnicate"}, 2);
  Result r = Expect({"--port", D("no-such-port"), "test"}, 3);
  EXPECT_TRUE(Has(r.err, "does not exist")) << r.err;

  // Another program holds the port.
  int holder = ::open(sim.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(holder, 0);
  ASSERT_EQ(::flock(holder, LOCK_EX | LOCK_NB), 0);
  r = Expect({"--port", sim.SlavePath(), "test"}, 3);
  EXPECT_TRUE(Has(r.err, "busy")) << r.err;
  ::close(holder);
}

TEST_F(CliE2e, CtrlCDuringAReceiveKeepsThePartReceived) {
  // 20,000 bytes at a paced 9600 baud take about 20 s: long enough to interrupt.
  const std::string settings = RandomBytes(20000, 5);
  WriteFile(dir / "store" / "settings.bin", settings);
  SimProcess sim({"--store", D("store"), "--baud", "9600"});
  bool sent = false;
  Result r = Run({"--port", sim.SlavePath(), "receive", "settings", D("partial.bin")}, "",
                 [&sent](pid_t pid, const std::string& err) {
                   if (!sent && Has(err, "progress: 10%")) sent = ::kill(pid, SIGINT) == 0;
                 });
  ASSERT_TRUE(sent) << r.err;
  EXPECT_EQ(r.code, 130) << r.err;
  EXPECT_TRUE(Has(r.err, D("partial.bin"))) << r.err;
  std::string partial = ReadFile(dir / "partial.bin");
  EXPECT_GE(partial.size(), 2000u);
  EXPECT_LT(partial.size(), settings.size());
  EXPECT_EQ(partial, settings.substr(0, partial.size()));
}

}  // namespace
