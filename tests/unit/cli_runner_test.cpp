// What the CLI decides before the core runs: the port to use, the ports
// listing, and the usage and local-file problems that end a run with 2 or 3
// before anything reaches the readout.
#include <gtest/gtest.h>

#include <deque>
#include <filesystem>
#include <functional>
#include <fstream>
#include <random>

#include "cli/console.h"
#include "cli/outcome.h"
#include "cli/runner.h"
#include "support/fakes.h"

namespace quillon::cli {
namespace {

namespace fs = std::filesystem;

class RecordingConsole : public Console {
 public:
  void Out(const std::string& line) override { out.push_back(line); }
  void Err(const std::string& line) override { err += line + "\n"; }
  void Progress(const std::string&, bool) override {}
  void EndProgress() override {}
  bool Interactive() const override { return interactive; }
  bool ProgressInPlace() const override { return false; }
  std::optional<std::string> Ask(const std::string& prompt) override {
    asked.push_back(prompt);
    if (onAsk) onAsk();
    if (answers.empty()) return std::nullopt;
    std::string answer = answers.front();
    answers.pop_front();
    return answer;
  }
  void Bell() override {}

  std::vector<std::string> out, asked;
  std::string err;  // every line, each ended by a newline
  std::deque<std::string> answers;
  std::function<void()> onAsk;
  bool interactive = false;
};

class CliRunner : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = fs::temp_directory_path() / ("quillon-runner-" + std::to_string(std::random_device()()));
    fs::create_directories(dir / "sys" / "class" / "tty");
    options.sysRoot = (dir / "sys").string();
    options.devRoot = "/dev";
  }
  void TearDown() override { fs::remove_all(dir); }

  void AddBridge(const std::string& name, const std::string& usb) {
    fs::path device = dir / "sys" / "devices" / usb;
    fs::path port = device / (usb + ":1.0") / name;
    fs::create_directories(port / "tty" / name);
    std::ofstream(device / "idVendor") << "10c4\n";
    std::ofstream(device / "idProduct") << "ea60\n";
    fs::create_directory_symlink(port / "tty" / name, dir / "sys" / "class" / "tty" / name);
    fs::create_directory_symlink(port, port / "tty" / name / "device");
  }

  int Run() {
    Environment env{console, serial, nullptr, &interrupted};
    return cli::Run(options, env);
  }
  bool ErrHas(const std::string& text) const { return console.err.find(text) != std::string::npos; }

  fs::path dir;
  Options options;
  RecordingConsole console;
  std::atomic<bool> interrupted{false};
  test::FakeSerialFactory serial;
};

TEST_F(CliRunner, PortsListTheBridgeAndTestNeedsExactlyOne) {
  options.command = "test";
  EXPECT_EQ(Run(), EXIT_PORT);
  EXPECT_TRUE(ErrHas("no Quillon readout found")) << console.err;

  AddBridge("ttyUSB0", "1-1");
  options.command = "ports";
  EXPECT_EQ(Run(), EXIT_DONE);
  EXPECT_EQ(console.out, (std::vector<std::string>{"/dev/ttyUSB0  10c4:ea60  <- Quillon readout bridge"}));

  AddBridge("ttyUSB1", "1-2");
  options.command = "test";
  EXPECT_EQ(Run(), EXIT_PORT);
  EXPECT_TRUE(ErrHas("/dev/ttyUSB0") && ErrHas("/dev/ttyUSB1")) << console.err;
  EXPECT_TRUE(serial.created.empty());
}

TEST_F(CliRunner, LocalFileAndUsageProblemsEndWithTwoBeforeThePortOpens) {
  options.port = "/dev/null-port";  // never reached
  const std::vector<std::function<void(Options&)>> steps = {
      [&](Options& o) { o.command = "send", o.what = "settings", o.file = (dir / "missing.bin").string(); },
      [&](Options& o) { o.command = "receive", o.file = (dir / "no-such-folder" / "out.bin").string(); },
      [&](Options& o) { o.command = "nlec", o.what = "get"; },
      [&](Options& o) { o.command = "receive", o.what = "program", o.file = (dir / "out.bin").string(); },
      [&](Options& o) { o.command = "download", o.what = "software", o.image = (dir / "missing.img").string(); },
      [&](Options& o) { o.image.clear(), o.baud = 9600; },
      [&](Options& o) { o.baud = 115200, o.logFile = (dir / "no-such-folder" / "log.txt").string(); },
      [&](Options& o) { o.logFile.clear(), o.command = "erase"; },  // no one to ask, no --yes
  };
  for (size_t i = 0; i < steps.size(); ++i) {
    steps[i](options);
    EXPECT_EQ(Run(), EXIT_USAGE) << "step " << i;
  }
  EXPECT_TRUE(ErrHas("missing.bin")) << console.err;
  EXPECT_TRUE(ErrHas("--yes")) << console.err;
  EXPECT_TRUE(serial.created.empty());
}

TEST_F(CliRunner, EraseAnsweredNoOrInterruptedAtTheQuestionSendsNothing) {
  options.port = "/dev/fake-readout";
  options.command = "erase";
  console.interactive = true;
  console.answers = {"n"};
  EXPECT_EQ(Run(), EXIT_FAILED);
  EXPECT_EQ(console.asked, (std::vector<std::string>{"Are you sure you want to erase the flash? [y/N] "}));
  ASSERT_FALSE(serial.created.empty());
  EXPECT_TRUE(serial.Last()->Written().empty());
  EXPECT_TRUE(ErrHas("Not erased.\n"));

  // Ctrl-C while the question waits: nothing sent, exit 130.
  console.onAsk = [this] { interrupted.store(true); };
  EXPECT_EQ(Run(), EXIT_INTERRUPTED);
  EXPECT_TRUE(serial.Last()->Written().empty());
  EXPECT_TRUE(ErrHas("Interrupted.\n"));
}

TEST_F(CliRunner, TestWithoutAnAnswerFailsAfterItsWait) {
  options.port = "/dev/fake-readout";
  options.command = "test";
  options.testWaitSeconds = 0.05;
  EXPECT_EQ(Run(), EXIT_FAILED);
  ASSERT_FALSE(serial.created.empty());
  // The test packet went out: 7E 7E, checksum, length 6, command 19, id, "100000".
  std::vector<uint8_t> written = serial.Last()->Written();
  ASSERT_EQ(written.size(), 16u);
  EXPECT_EQ(written[6], 19);
  EXPECT_EQ(std::string(written.begin() + 10, written.end()), "100000");
  EXPECT_TRUE(ErrHas("quillon: no answer from the readout\n"));
  EXPECT_TRUE(console.out.empty());

  // A port that cannot be opened ends with 3 and says why.
  serial.next = std::make_shared<test::FakeSerialDevice>();
  serial.next->openError = EACCES;
  EXPECT_EQ(Run(), EXIT_PORT);
  EXPECT_TRUE(ErrHas("cannot open /dev/fake-readout: permission denied; add yourself to the dialout group"))
      << console.err;
}

}  // namespace
}  // namespace quillon::cli
