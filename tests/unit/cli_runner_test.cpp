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
  void Err(const std::string& line) override { err.push_back(line); }
  void Progress(const std::string& line, bool) override { progress.push_back(line); }
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

  std::vector<std::string> out, err, progress, asked;
  std::deque<std::string> answers;
  std::function<void()> onAsk;
  bool interactive = false;

  std::string AllErr() const {
    std::string all;
    for (const auto& line : err) all += line + "\n";
    return all;
  }
};

class CliRunner : public ::testing::Test {
 protected:
  void SetUp() override {
    std::random_device random;
    dir = fs::temp_directory_path() / ("quillon-runner-" + std::to_string(random()));
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

  fs::path dir;
  Options options;
  RecordingConsole console;
  std::atomic<bool> interrupted{false};
  test::FakeSerialFactory serial;
};

TEST_F(CliRunner, PortsListsAndMarksTheBridge) {
  AddBridge("ttyUSB0", "1-1");
  options.command = "ports";
  EXPECT_EQ(Run(), EXIT_DONE);
  ASSERT_EQ(console.out.size(), 1u);
  EXPECT_EQ(console.out[0], "/dev/ttyUSB0  10c4:ea60  <- Quillon readout bridge");
  EXPECT_TRUE(serial.created.empty());
}

TEST_F(CliRunner, NoBridgeOrSeveralEndWithThreeBeforeAnyPortIsOpened) {
  options.command = "test";
  EXPECT_EQ(Run(), EXIT_PORT);
  EXPECT_NE(console.AllErr().find("no Quillon readout found"), std::string::npos);

  AddBridge("ttyUSB0", "1-1");
  AddBridge("ttyUSB1", "1-2");
  console.err.clear();
  EXPECT_EQ(Run(), EXIT_PORT);
  EXPECT_NE(console.AllErr().find("/dev/ttyUSB0"), std::string::npos);
  EXPECT_NE(console.AllErr().find("/dev/ttyUSB1"), std::string::npos);
  EXPECT_TRUE(serial.created.empty());
}

TEST_F(CliRunner, LocalFileProblemsEndWithTwo) {
  options.port = "/dev/null-port";  // never reached
  options.command = "send";
  options.what = "settings";
  options.file = (dir / "missing.bin").string();
  EXPECT_EQ(Run(), EXIT_USAGE);
  EXPECT_NE(console.AllErr().find("missing.bin"), std::string::npos);

  options.command = "receive";
  options.file = (dir / "no-such-folder" / "out.bin").string();
  EXPECT_EQ(Run(), EXIT_USAGE);

  options.command = "nlec";
  options.what = "get";
  EXPECT_EQ(Run(), EXIT_USAGE);

  options.command = "receive";
  options.what = "program";
  options.file = (dir / "out.bin").string();
  options.programName = "";
  EXPECT_EQ(Run(), EXIT_USAGE);

  options.command = "download";
  options.what = "software";
  options.image = (dir / "missing.img").string();
  EXPECT_EQ(Run(), EXIT_USAGE);

  options.image.clear();
  options.baud = 9600;
  EXPECT_EQ(Run(), EXIT_USAGE);

  options.baud = 115200;
  options.logFile = (dir / "no-such-folder" / "log.txt").string();
  EXPECT_EQ(Run(), EXIT_USAGE);
  EXPECT_TRUE(serial.created.empty());
}

TEST_F(CliRunner, EraseWithoutAPersonOrYesIsRefused) {
  options.port = "/dev/null-port";
  options.command = "erase";
  console.interactive = false;
  EXPECT_EQ(Run(), EXIT_USAGE);
  EXPECT_NE(console.AllErr().find("--yes"), std::string::npos);
  EXPECT_TRUE(serial.created.empty());
}

TEST_F(CliRunner, EraseAnsweredNoOrInterruptedAtTheQuestionSendsNothing) {
  options.port = "/dev/fake-readout";
  options.command = "erase";
  console.interactive = true;
  console.answers = {"n"};
  EXPECT_EQ(Run(), EXIT_FAILED);
  ASSERT_EQ(console.asked.size(), 1u);
  EXPECT_EQ(console.asked[0], "Are you sure you want to erase the flash? [y/N] ");
  ASSERT_FALSE(serial.created.empty());
  EXPECT_TRUE(serial.Last()->Written().empty());
  EXPECT_EQ(console.err.back(), "Not erased.");

  // Ctrl-C while the question waits: nothing sent, exit 130.
  console.answers.clear();
  console.onAsk = [this] { interrupted.store(true); };
  EXPECT_EQ(Run(), EXIT_INTERRUPTED);
  EXPECT_TRUE(serial.Last()->Written().empty());
  EXPECT_EQ(console.err.back(), "Interrupted.");
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
  EXPECT_EQ(console.err.back(), "quillon: no answer from the readout");
  EXPECT_TRUE(console.out.empty());
}

TEST_F(CliRunner, APortThatCannotBeOpenedEndsWithThreeAndSaysWhy) {
  options.port = "/dev/fake-readout";
  options.command = "test";
  serial.next = std::make_shared<test::FakeSerialDevice>();
  serial.next->openError = EACCES;
  EXPECT_EQ(Run(), EXIT_PORT);
  EXPECT_NE(console.AllErr().find("cannot open /dev/fake-readout: permission denied; add yourself to the dialout group"),
            std::string::npos)
      << console.AllErr();
}

}  // namespace
}  // namespace quillon::cli
