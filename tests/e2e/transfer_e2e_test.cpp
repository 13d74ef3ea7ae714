// The maintenance transfers end to end: the start commands through the core's
// router, the real receive thread and POSIX port, quillon-sim on the other end
// of a pseudo-terminal, and the dialog's loop played with a real clock. Each
// run ends in a shown result; files are compared byte for byte.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <fstream>
#include <iterator>
#include <random>
#include <regex>
#include <tuple>

#include "core/app.h"
#include "core/app/main_dialog.h"
#include "core/serial/receive_thread.h"
#include "core/serial/serial_port.h"
#include "platform/posix/posix_serial.h"
#include "sim_harness.h"
#include "support/e2e_host.h"

namespace quillon::sim::test {
namespace {

using quillon::test::E2eHost;

// Every wait is bounded by this; a run that needs it has hung.
constexpr milliseconds DEADLINE{30000};

const char* const SETTINGS_DONE = "Transfer of settings sucessfully completed.";
const char* const PROGRAM_DONE = "Transfer of program sucessfully completed.";
const char* const BITMAP_DONE = "Bitmap Transfer sucessfully completed.";
const char* const FILE_RETRY = "Binary Test transfer failure. Retry count exceeded.";
const char* const NLEC_RETRY = "Nlec transfer failure. Retry count exceeded.";
const std::regex NLEC_DONE("NLEC Transfer completed in [0-9]+ seconds\\.");

std::vector<uint8_t> RandomBytes(size_t n, uint32_t seed) {
  std::mt19937 gen(seed);
  std::vector<uint8_t> out(n);
  for (auto& b : out) b = static_cast<uint8_t>(gen());
  return out;
}

void WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

void WriteFile(const std::string& path, const std::string& text) {
  WriteFile(path, std::vector<uint8_t>(text.begin(), text.end()));
}

std::vector<uint8_t> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<uint8_t> Bytes(const std::string& text) {
  return std::vector<uint8_t>(text.begin(), text.end());
}

// A table of text lines as the readout's tools write it: CR LF line ends.
std::string NlecTable(int lines, uint32_t seed) {
  std::mt19937 gen(seed);
  std::string out;
  for (int i = 0; i < lines; ++i) {
    char line[64];
    std::snprintf(line, sizeof line, "%d,%u,%d\r\n", i, static_cast<unsigned>(gen() % 100000),
                  static_cast<int>(gen() % 2001) - 1000);
    out += line;
  }
  return out;
}

std::string WithoutCr(const std::string& text) {
  std::string out;
  for (char c : text)
    if (c != '\r') out += c;
  return out;
}

// The data bytes of a transcript frame, as text.
std::string FrameData(const TranscriptEntry& frame) {
  auto bytes = FromHex(frame.hex);
  return std::string(bytes.begin() + 10, bytes.end());
}

// The current directory for a scope (the bitmap send works in it).
class WorkingDir {
 public:
  explicit WorkingDir(const std::string& path) : previous_(std::filesystem::current_path()) {
    std::filesystem::current_path(path);
  }
  ~WorkingDir() { std::filesystem::current_path(previous_); }

 private:
  std::filesystem::path previous_;
};

// The host side of the line: the core with a real-clock host, the POSIX
// port opened on the simulator's path and the receive thread running. The
// start commands' controls exist, so the button captions can be checked.
struct Station {
  E2eHost host;
  posix::PosixSerialFactory factory;
  App app{host, factory};

  explicit Station(const std::string& path) {
    app.limits.closePauseMs = 10;
    host.AddControl(IDC_STATUS_LINE);
    host.AddControl(IDC_NLEC_SEND, "Send NLEC");
    host.AddControl(IDC_NLEC_GET, "Get NLEC");
    host.AddControl(IDC_SEND_BITMAP, "Send Bitmap");
    host.AddControl(IDC_RECEIVE_SETTINGS, "Receive Settings");
    host.AddControl(IDC_SEND_SETTINGS, "Send Settings");
    host.AddControl(IDC_RECEIVE_PROGRAM, "Receive Program");
    host.AddControl(IDC_SEND_PROGRAM, "Send Program");
    OpenDevicePath(app, path);
    StartReceiveThread(app);
  }
  ~Station() { OnDestroy(app); }

  bool Open() const { return app.link.IsOpen(); }
  bool Active() const { return app.protocol.transferActive.load() != 0; }

  // Runs the dialog until the first result box; its text, or "" when none
  // came within the deadline.
  std::string Result(milliseconds timeout = DEADLINE) {
    if (!host.RunUntil(app, [&] { return !host.Boxes().empty(); }, timeout)) return "";
    return host.Boxes().front().text;
  }
};

// ---------------------------------------------------------------------------
// Each start command against a well-behaved readout.

TEST(TransferE2E, SettingsAndProgramSendsArriveByteIdentical) {
  struct Case {
    int command;
    const char* stored;
    const char* logText;
    const char* done;
    const char* caption;
  };
  for (const Case& c : {Case{IDC_SEND_SETTINGS, "settings.bin", "Sending Settings...", SETTINGS_DONE,
                             "Send Settings"},
                        Case{IDC_SEND_PROGRAM, "program.bin", "Sending Program File...",
                             PROGRAM_DONE, "Send Program"}}) {
    SCOPED_TRACE(c.command);
    ScratchDir dir;
    SimOptions options;
    options.storeDir = dir.File("store");
    std::filesystem::create_directories(options.storeDir);
    SimHarness sim(options);
    ASSERT_TRUE(sim.Ok()) << sim.Error();
    // 3000 bytes: 23 full chunks and a short last one.
    auto source = RandomBytes(3000, static_cast<uint32_t>(c.command));
    WriteFile(dir.File("source.bin"), source);

    Station station(sim.SlavePath());
    ASSERT_TRUE(station.Open());
    station.host.openAnswers.push_back(dir.File("source.bin"));
    OnCommand(station.app, c.command);
    EXPECT_EQ(station.host.GetControlText(c.command), "Stop Transfer");

    EXPECT_EQ(station.Result(), c.done);
    EXPECT_EQ(ReadFile(dir.File(std::string("store/") + c.stored)), source);
    EXPECT_FALSE(station.Active());
    EXPECT_EQ(station.host.LinesWith(c.logText), 1u);
    EXPECT_EQ(station.host.GetControlText(c.command), c.caption);
    // One header, one frame per chunk, one end: nothing was sent twice.
    auto entries = sim.Transcript();
    EXPECT_EQ(Frames(entries, "rx", 10).size(), 1u);
    EXPECT_EQ(Frames(entries, "rx", 11).size(), 24u);
    EXPECT_EQ(Frames(entries, "rx", 12).size(), 1u);
  }
}

TEST(TransferE2E, ABitmapListingIsConvertedAndArrivesAsItsBytes) {
  ScratchDir dir;
  SimOptions options;
  options.storeDir = dir.File("store");
  std::filesystem::create_directories(options.storeDir);
  SimHarness sim(options);
  ASSERT_TRUE(sim.Ok()) << sim.Error();

  auto expected = RandomBytes(1500, 24);
  std::string listing = "const unsigned char image[] = {\r\n";
  for (size_t i = 0; i < expected.size(); ++i) {
    char value[8];
    std::snprintf(value, sizeof value, (i % 3) ? "0x%02X," : "0x%02x,", expected[i]);
    listing += value;
    if (i % 16 == 15) listing += "\r\n";
  }
  listing += "};\r\n";
  WriteFile(dir.File("image.c"), listing);

  // The intermediate bitmap.bin is made in the current directory.
  std::filesystem::create_directories(dir.File("work"));
  WorkingDir work(dir.File("work"));
  Station station(sim.SlavePath());
  ASSERT_TRUE(station.Open());
  station.host.openAnswers.push_back(dir.File("image.c"));
  OnCommand(station.app, IDC_SEND_BITMAP);
  EXPECT_EQ(station.Result(), BITMAP_DONE);
  EXPECT_EQ(ReadFile(dir.File("store/bitmap.bin")), expected);
  EXPECT_EQ(ReadFile(dir.File("work/bitmap.bin")), expected);
}

TEST(TransferE2E, SettingsAndProgramReceivesWriteTheReadoutsFilesByteIdentical) {
  ScratchDir dir;
  SimOptions options;
  options.storeDir = dir.Path();
  options.pieceSize = 512;  // the largest piece the frame carries
  SimHarness sim(options);
  ASSERT_TRUE(sim.Ok()) << sim.Error();
  auto settings = RandomBytes(4000, 22);
  auto program = RandomBytes(2049, 26);
  WriteFile(dir.File("settings.bin"), settings);
  WriteFile(dir.File("PROG1"), program);

  Station station(sim.SlavePath());
  ASSERT_TRUE(station.Open());
  station.host.saveAnswers.push_back(dir.File("got-settings.bin"));
  OnCommand(station.app, IDC_RECEIVE_SETTINGS);
  EXPECT_EQ(station.Result(), SETTINGS_DONE);
  EXPECT_EQ(ReadFile(dir.File("got-settings.bin")), settings);
  EXPECT_EQ(station.host.LinesWith("Receiving Settings File..."), 1u);

  station.host.promptAnswers.emplace_back(1, "PROG1");
  station.host.saveAnswers.push_back(dir.File("got-program.bin"));
  OnCommand(station.app, IDC_RECEIVE_PROGRAM);
  ASSERT_TRUE(station.host.RunUntil(
      station.app, [&] { return station.host.Boxes().size() == 2; }, DEADLINE));
  EXPECT_EQ(station.host.Boxes()[1].text, PROGRAM_DONE);
  EXPECT_EQ(ReadFile(dir.File("got-program.bin")), program);
  EXPECT_FALSE(station.Active());

  auto requests = Frames(sim.Transcript(), "rx", 20);
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(FrameData(requests[0]), "25");
  EXPECT_EQ(FrameData(requests[1]), "26PROG1");
}

TEST(TransferE2E, AnNlecTableGoesOutAndComesBackByteIdentical) {
  ScratchDir dir;
  SimOptions options;
  options.storeDir = dir.File("store");
  std::filesystem::create_directories(options.storeDir);
  SimHarness sim(options);
  ASSERT_TRUE(sim.Ok()) << sim.Error();
  std::string table = NlecTable(200, 5);
  WriteFile(dir.File("table.txt"), table);

  Station station(sim.SlavePath());
  ASSERT_TRUE(station.Open());
  station.host.openAnswers.push_back(dir.File("table.txt"));
  OnCommand(station.app, IDC_NLEC_SEND);
  std::string sent = station.Result();
  EXPECT_TRUE(std::regex_match(sent, NLEC_DONE)) << sent;
  // The readout keeps the lines with LF ends, as they went over the line.
  EXPECT_EQ(ReadFile(dir.File("store/nlec.txt")), Bytes(WithoutCr(table)));
  EXPECT_EQ(station.host.GetControlText(IDC_NLEC_SEND), "Send NLEC");

  station.host.saveAnswers.push_back(dir.File("back.txt"));
  OnCommand(station.app, IDC_NLEC_GET);
  ASSERT_TRUE(station.host.RunUntil(
      station.app, [&] { return station.host.Boxes().size() == 2; }, DEADLINE));
  std::string got = station.host.Boxes()[1].text;
  EXPECT_TRUE(std::regex_match(got, NLEC_DONE)) << got;
  EXPECT_EQ(ReadFile(dir.File("back.txt")), Bytes(table));
  EXPECT_FALSE(station.Active());
  EXPECT_EQ(station.host.LinesWith("Sending NLEC..."), 1u);
  EXPECT_EQ(station.host.LinesWith("Getting NLEC..."), 1u);
}

TEST(TransferE2E, AnNlecLineLongerThanAPacketIsSentInPiecesAndJoined) {
  ScratchDir dir;
  SimOptions options;
  options.storeDir = dir.Path();
  SimHarness sim(options);
  ASSERT_TRUE(sim.Ok()) << sim.Error();
  std::string table = "first\r\n" + std::string(1000, '7') + "\r\nlast\r\n";
  WriteFile(dir.File("table.txt"), table);

  Station station(sim.SlavePath());
  ASSERT_TRUE(station.Open());
  station.host.openAnswers.push_back(dir.File("table.txt"));
  OnCommand(station.app, IDC_NLEC_SEND);
  std::string result = station.Result();
  EXPECT_TRUE(std::regex_match(result, NLEC_DONE)) << result;
  EXPECT_EQ(ReadFile(dir.File("nlec.txt")), Bytes(WithoutCr(table)));
  std::vector<int> lengths;
  for (const auto& f : Frames(sim.Transcript(), "rx", 6)) lengths.push_back(f.len);
  EXPECT_EQ(lengths, (std::vector<int>{6, 511, 490, 5}));
}

// ---------------------------------------------------------------------------
// Faults of the readout and the line.

enum class Flow { SEND_SETTINGS, RECEIVE_SETTINGS, NLEC_SEND, NLEC_GET };

const char* FlowName(Flow flow) {
  switch (flow) {
    case Flow::SEND_SETTINGS: return "SettingsSend";
    case Flow::RECEIVE_SETTINGS: return "SettingsReceive";
    case Flow::NLEC_SEND: return "NlecSend";
    case Flow::NLEC_GET: return "NlecGet";
  }
  return "";
}

struct Outcome {
  std::string result;      // the first box, "" when none came
  bool identical = false;  // the file at the far end equals the source
  bool active = true;      // the transfer flag after the result
  std::vector<std::string> boxes;
  std::vector<std::string> log;
  Entries transcript;
};

// One transfer of the given flow with a few kB against a simulator set up
// with these options; the file at the far end is compared with the source.
Outcome RunFlow(Flow flow, SimOptions options, const std::function<void(App&)>& tune = {}) {
  ScratchDir dir;
  options.storeDir = dir.File("store");
  std::filesystem::create_directories(options.storeDir);
  auto binary = RandomBytes(2000, 77);
  std::string table = NlecTable(30, 78);
  WriteFile(dir.File("source.bin"), binary);
  WriteFile(dir.File("table.txt"), table);
  // What the readout holds for a receive; a send has to make it.
  if (flow == Flow::RECEIVE_SETTINGS) WriteFile(dir.File("store/settings.bin"), binary);
  if (flow == Flow::NLEC_GET) WriteFile(dir.File("store/nlec.txt"), WithoutCr(table));

  Outcome outcome;
  SimHarness sim(options);
  EXPECT_TRUE(sim.Ok()) << sim.Error();
  if (!sim.Ok()) return outcome;
  {
    Station station(sim.SlavePath());
    EXPECT_TRUE(station.Open());
    if (tune) tune(station.app);
    switch (flow) {
      case Flow::SEND_SETTINGS:
        station.host.openAnswers.push_back(dir.File("source.bin"));
        OnCommand(station.app, IDC_SEND_SETTINGS);
        break;
      case Flow::RECEIVE_SETTINGS:
        station.host.saveAnswers.push_back(dir.File("got.bin"));
        OnCommand(station.app, IDC_RECEIVE_SETTINGS);
        break;
      case Flow::NLEC_SEND:
        station.host.openAnswers.push_back(dir.File("table.txt"));
        OnCommand(station.app, IDC_NLEC_SEND);
        break;
      case Flow::NLEC_GET:
        station.host.saveAnswers.push_back(dir.File("got.txt"));
        OnCommand(station.app, IDC_NLEC_GET);
        break;
    }
    outcome.result = station.Result();
    outcome.active = station.Active();
    for (const auto& box : station.host.Boxes()) outcome.boxes.push_back(box.text);
    outcome.log = station.host.LogLines();
  }
  // The station is gone: every transfer file is closed and flushed.
  switch (flow) {
    case Flow::SEND_SETTINGS:
      outcome.identical = ReadFile(dir.File("store/settings.bin")) == binary;
      break;
    case Flow::RECEIVE_SETTINGS:
      outcome.identical = ReadFile(dir.File("got.bin")) == binary;
      break;
    case Flow::NLEC_SEND:
      outcome.identical = ReadFile(dir.File("store/nlec.txt")) == Bytes(WithoutCr(table));
      break;
    case Flow::NLEC_GET:
      outcome.identical = ReadFile(dir.File("got.txt")) == Bytes(table);
      break;
  }
  outcome.transcript = sim.Transcript();
  return outcome;
}

bool IsNlec(Flow flow) { return flow == Flow::NLEC_SEND || flow == Flow::NLEC_GET; }

bool IsSuccess(Flow flow, const std::string& result) {
  return IsNlec(flow) ? std::regex_match(result, NLEC_DONE) : result == SETTINGS_DONE;
}

struct FaultCase {
  const char* name;
  std::function<void(FaultOptions&)> set;
  const char* expectFault;  // the transcript shows the fault took effect
};

const FaultCase RECOVERABLE[] = {
    {"DroppedAnswer", [](FaultOptions& f) { f.dropNth = 3; }, "drop-nth"},
    {"CorruptChecksum", [](FaultOptions& f) { f.corruptChecksum = 4; }, "corrupt-checksum"},
    {"BadChecksumReport", [](FaultOptions& f) { f.answerBadChecksum = 5; }, "answer-bad-checksum"},
    {"RemoteTimeoutReport", [](FaultOptions& f) { f.answerRemoteTimeout = 6; },
     "answer-remote-timeout"},
    {"StallMidPacket", [](FaultOptions& f) { f.stallMidPacket = 7; }, "stall-mid-packet"},
    {"NoiseAndSplitWrites",
     [](FaultOptions& f) {
       f.noise = 3;
       f.splitWrites = true;
       f.seed = 9;
     },
     "noise"},
    {"OversizeHeader", [](FaultOptions& f) { f.oversizeHeader = true; }, "oversize-header"},
};

class TransferFaults : public ::testing::TestWithParam<std::tuple<Flow, size_t>> {};

// One fault that a single resend repairs: the transfer completes with the
// file whole, never twice a chunk, never a silent loss.
TEST_P(TransferFaults, EndWithTheWholeFileAndTheSuccessText) {
  Flow flow = std::get<0>(GetParam());
  const FaultCase& fault = RECOVERABLE[std::get<1>(GetParam())];
  SimOptions options;
  fault.set(options.faults);
  Outcome out = RunFlow(flow, options);
  EXPECT_TRUE(IsSuccess(flow, out.result)) << out.result;
  EXPECT_TRUE(out.identical);
  EXPECT_FALSE(out.active);
  EXPECT_EQ(out.boxes.size(), 1u);
  EXPECT_FALSE(WithFault(out.transcript, fault.expectFault).empty());
}

INSTANTIATE_TEST_SUITE_P(
    , TransferFaults,
    ::testing::Combine(::testing::Values(Flow::SEND_SETTINGS, Flow::RECEIVE_SETTINGS,
                                         Flow::NLEC_SEND, Flow::NLEC_GET),
                       ::testing::Range<size_t>(0, std::size(RECOVERABLE))),
    [](const ::testing::TestParamInfo<std::tuple<Flow, size_t>>& param) {
      return std::string(FlowName(std::get<0>(param.param))) + "_" +
             RECOVERABLE[std::get<1>(param.param)].name;
    });

class TransferFlows : public ::testing::TestWithParam<Flow> {};

// The number of the readout's last answer in RunFlow's dialogues: the file
// send's checksum, the receive's end, the NLEC send's checksum, the last line.
uint32_t LastAnswer(Flow flow) {
  switch (flow) {
    case Flow::SEND_SETTINGS: return 1 + 16 + 1;     // header, 16 chunks, end
    case Flow::RECEIVE_SETTINGS: return 1 + 16 + 1;  // size, 16 pieces, end
    case Flow::NLEC_SEND: return 1 + 30 + 1;         // start, 30 lines, end
    case Flow::NLEC_GET: return 1 + 30;              // count, 29 lines, the last
  }
  return 0;
}

// The answer that ends the dialogue is the one whose loss is easiest to get
// wrong: the resent end must bring the same result, and nothing twice.
TEST_P(TransferFlows, ALostOrDamagedLastAnswerStillEndsWhole) {
  Flow flow = GetParam();
  for (bool drop : {true, false}) {
    SCOPED_TRACE(drop ? "dropped" : "corrupt");
    SimOptions options;
    (drop ? options.faults.dropNth : options.faults.corruptChecksum) = LastAnswer(flow);
    Outcome out = RunFlow(flow, options);
    EXPECT_TRUE(IsSuccess(flow, out.result)) << out.result;
    EXPECT_TRUE(out.identical);
    EXPECT_EQ(out.boxes.size(), 1u);
    auto hit = WithFault(out.transcript, drop ? "drop-nth" : "corrupt-checksum");
    ASSERT_EQ(hit.size(), 1u);
    const int lastCode[] = {12, 22, 7, 18};
    EXPECT_EQ(hit[0].cmd, lastCode[static_cast<int>(flow)]);
  }
}

// A readout that never answers: six resends, then the retry report of the
// transfer's family, the flag cleared, and no success.
TEST_P(TransferFlows, ASilentReadoutEndsInTheRetryReport) {
  Flow flow = GetParam();
  SimOptions options;
  options.faults.silent = true;
  Outcome out = RunFlow(flow, options);
  EXPECT_EQ(out.result, IsNlec(flow) ? NLEC_RETRY : FILE_RETRY);
  EXPECT_FALSE(out.active);
  EXPECT_EQ(out.boxes.size(), 1u);
  // The first packet and its six resends.
  EXPECT_EQ(Frames(out.transcript, "rx").size(), 7u);
}

// Every third answer lost, on top of noise and split answers: the run either
// completes whole or gives up with the retry report; never anything else.
TEST_P(TransferFlows, HeavyLossEndsWholeOrInTheRetryReport) {
  Flow flow = GetParam();
  SimOptions options;
  options.faults.dropEvery = 3;
  options.faults.noise = 2;
  options.faults.splitWrites = true;
  options.faults.seed = 3;
  Outcome out = RunFlow(flow, options);
  if (IsSuccess(flow, out.result)) {
    EXPECT_TRUE(out.identical);
  } else {
    EXPECT_EQ(out.result, IsNlec(flow) ? NLEC_RETRY : FILE_RETRY);
  }
  EXPECT_FALSE(out.active);
}

// The line goes dead half-way: the host keeps resending into it and gives up.
TEST_P(TransferFlows, AHangUpMidTransferEndsInTheRetryReport) {
  Flow flow = GetParam();
  SimOptions options;
  options.faults.hangupAfter = 100;
  Outcome out = RunFlow(flow, options);
  EXPECT_EQ(out.result, IsNlec(flow) ? NLEC_RETRY : FILE_RETRY);
  EXPECT_FALSE(out.active);
  EXPECT_FALSE(OfKind(out.transcript, "rx", "hangup").empty() &&
               OfKind(out.transcript, "tx", "hangup").empty());
}

INSTANTIATE_TEST_SUITE_P(, TransferFlows,
                         ::testing::Values(Flow::SEND_SETTINGS, Flow::RECEIVE_SETTINGS,
                                           Flow::NLEC_SEND, Flow::NLEC_GET),
                         [](const ::testing::TestParamInfo<Flow>& param) {
                           return std::string(FlowName(param.param));
                         });

// A packet the readout sends unasked while the host waits for an answer, and
// then the answer lost: the host must still resend rather than take the
// unasked packet for the answer and wait for ever.
TEST_P(TransferFlows, AnUnaskedPacketBeforeALostAnswerDoesNotStopTheResend) {
  Flow flow = GetParam();
  SimOptions options;
  options.sendLog = {"battery low"};
  options.faults.dropNth = 1;
  Outcome out = RunFlow(flow, options);
  EXPECT_TRUE(IsSuccess(flow, out.result)) << out.result;
  EXPECT_TRUE(out.identical);
  EXPECT_FALSE(out.active);
  EXPECT_EQ(std::count_if(out.log.begin(), out.log.end(),
                          [](const std::string& l) { return l.find("battery low") != l.npos; }),
            1);
}

// ---------------------------------------------------------------------------
// Errors the readout reports.

TEST(TransferE2E, AReadoutFileErrorEndsSendAndReceiveWithTheKindsTexts) {
  SimOptions options;
  options.faults.fileError = "Flash full";
  for (Flow flow : {Flow::SEND_SETTINGS, Flow::RECEIVE_SETTINGS}) {
    SCOPED_TRACE(FlowName(flow));
    Outcome out = RunFlow(flow, options);
    EXPECT_EQ(out.result, "Settings transfer failure.");
    EXPECT_EQ(out.boxes.size(), 1u);
    EXPECT_FALSE(out.active);
    auto at = std::find(out.log.begin(), out.log.end(), "Settings Transfer error.");
    ASSERT_NE(at, out.log.end());
    ASSERT_GE(std::distance(at, out.log.end()), 3);
    EXPECT_EQ(*(at + 1), "Settings transfer halted.");
    EXPECT_EQ(*(at + 2), "Flash full");
  }
}

TEST(TransferE2E, AProgramTheReadoutLacksEndsTheReceiveAsAFailure) {
  ScratchDir dir;
  SimOptions options;
  options.storeDir = dir.Path();
  SimHarness sim(options);
  ASSERT_TRUE(sim.Ok()) << sim.Error();
  Station station(sim.SlavePath());
  ASSERT_TRUE(station.Open());
  station.host.promptAnswers.emplace_back(1, "NOPROG");
  station.host.saveAnswers.push_back(dir.File("got.bin"));
  OnCommand(station.app, IDC_RECEIVE_PROGRAM);
  EXPECT_EQ(station.Result(), "Program transfer failure.");
  EXPECT_EQ(station.host.LinesWith("Program transfer halted."), 1u);
  EXPECT_EQ(station.host.LinesWith("File not found"), 1u);
  EXPECT_FALSE(station.Active());
  EXPECT_TRUE(ReadFile(dir.File("got.bin")).empty());
}

TEST(TransferE2E, AReadoutNlecErrorHaltsSendAndGetWithoutANewStart) {
  SimOptions options;
  options.faults.nlecError = true;
  for (Flow flow : {Flow::NLEC_SEND, Flow::NLEC_GET}) {
    SCOPED_TRACE(FlowName(flow));
    ScratchDir dir;
    options.storeDir = dir.Path();
    std::string table = NlecTable(10, 1);
    WriteFile(dir.File("table.txt"), table);
    SimHarness sim(options);
    ASSERT_TRUE(sim.Ok()) << sim.Error();
    Station station(sim.SlavePath());
    ASSERT_TRUE(station.Open());
    if (flow == Flow::NLEC_SEND) {
      station.host.openAnswers.push_back(dir.File("table.txt"));
      OnCommand(station.app, IDC_NLEC_SEND);
    } else {
      station.host.saveAnswers.push_back(dir.File("got.txt"));
      OnCommand(station.app, IDC_NLEC_GET);
    }
    // Code 8 logs the error and posts the stop command, which halts.
    EXPECT_TRUE(station.host.RunUntil(
        station.app, [&] { return station.host.LinesWith("Nlec transfer halted.") == 1; },
        DEADLINE));
    EXPECT_EQ(station.host.LinesWith("NLEC Transfer error."), 1u);
    EXPECT_FALSE(station.Active());
    EXPECT_EQ(station.host.GetControlText(IDC_NLEC_SEND), "Send NLEC");
    EXPECT_EQ(station.host.GetControlText(IDC_NLEC_GET), "Get NLEC");
    EXPECT_TRUE(station.host.Boxes().empty());
    // The posted stop found the transfer active: it asked for no new file.
    EXPECT_EQ(station.host.openRequests.size(), flow == Flow::NLEC_SEND ? 1u : 0u);
  }
}

TEST(TransferE2E, AWrongFinalChecksumIsReportedAsAFailure) {
  SimOptions options;
  options.faults.wrongFinalChecksum = true;
  Outcome file = RunFlow(Flow::SEND_SETTINGS, options);
  EXPECT_EQ(file.result, "Settings transfer failure.");
  EXPECT_FALSE(file.active);
  Outcome nlec = RunFlow(Flow::NLEC_SEND, options);
  EXPECT_EQ(nlec.result, "Nlec Checksum Failure.");
  EXPECT_FALSE(nlec.active);
}

}  // namespace
}  // namespace quillon::sim::test
