// The packet link where the end-to-end runs cannot reach: the timeouts'
// exact bounds on a fake clock, the parser under every split of a stream
// and against a concurrent reset, and the exact bytes and log lines.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <thread>

#include "core/boot/image_download.h"
#include "core/engine/engine.h"
#include "core/app/port_selection.h"
#include "core/log/event_log.h"
#include "core/protocol/commands.h"
#include "core/protocol/dispatcher.h"
#include "core/protocol/packet.h"
#include "core/serial/receive_thread.h"
#include "core/serial/serial_port.h"
#include "core/sha256.h"
#include "core/transfer/part_file.h"
#include "core/transfer/text_file.h"
#include "core/transfer/transfer_control.h"
#include "support/memory_device.h"
#include "support/support.h"

namespace quillon::test {
namespace {

struct Rig {
  TestHost host{true};
  EventLog log{host, host};
  SerialLink link;
  PacketLink packets{link, log, host};
  std::shared_ptr<MemoryDevice> device = std::make_shared<MemoryDevice>();
  Rig() {
    link.Exchange(device);
    packets.state.transferActive = true;
  }
  std::string LastLine() { return host.Lines().empty() ? "" : host.Lines().back(); }
};

std::vector<uint8_t> Frame(uint16_t command, uint16_t id, const std::string& data) {
  return EncodeFrame(command, id, reinterpret_cast<const uint8_t*>(data.data()),
                     static_cast<uint16_t>(data.size()));
}

struct Timeout {
  const char* name;
  uint16_t command;
  bool active;     // a transfer runs
  bool partial;    // half an answer arrived after the send
  uint32_t bound;  // quiet milliseconds that still do not fire
  const char* line;
  bool resent;
};

const Timeout kTimeouts[] = {
    {"answer", RS232_TEST, true, false, 500, "WM_TIMER1 calling RS232_ResendPacket", true},
    {"long command", RS232_LONG_COMMAND, true, false, 2500, "WM_TIMER1 calling RS232_ResendPacket",
     false},
    {"inter-byte", RS232_TEST, true, true, 100, "WM_TIMER2 calling RS232_ResendPacket", true},
    {"no transfer", RS232_TEST, false, false, 100000, nullptr, false},
};

TEST(AnswerTimeouts, FireOneMillisecondPastTheirBoundAndResendTheSameBytes) {
  for (const Timeout& t : kTimeouts) {
    SCOPED_TRACE(t.name);
    Rig rig;
    rig.packets.state.transferActive = t.active;
    RS232_SendText(rig.packets, t.command, "100000");
    const std::vector<uint8_t> sent = rig.device->written;
    uint32_t from = rig.host.tick;
    if (t.partial) {
      const uint8_t half[] = {START_MARK, START_MARK, 0x3B, 0x01};
      rig.host.tick = from += 30;
      RS232_ReceiveBytes(rig.packets, half, sizeof half);
    }
    rig.host.tick = from + t.bound;
    EXPECT_FALSE(CheckAnswerTimeouts(rig.packets));
    rig.host.tick = from + t.bound + 1;
    EXPECT_EQ(CheckAnswerTimeouts(rig.packets), t.line != nullptr);
    EXPECT_EQ(rig.LastLine(), t.line ? t.line : "");
    std::vector<uint8_t> twice = sent;
    twice.insert(twice.end(), sent.begin(), sent.end());
    EXPECT_EQ(rig.device->written, t.resent ? twice : sent);
    // Much later: a resent packet waits for its answer again; the others never fire.
    rig.host.tick += 10000;
    EXPECT_EQ(CheckAnswerTimeouts(rig.packets), t.resent);
  }
}

TEST(AnswerTimeouts, SixResendsOfOnePacketAreMadeAndTheSeventhGivesUp) {
  Rig rig;
  int gaveUp = 0;
  rig.packets.onGiveUp = [&] { ++gaveUp; };
  SendTestPacket(rig.packets);
  const size_t frame = rig.device->written.size();
  for (size_t i = 1; i <= 7; ++i) {
    rig.host.tick += 501;
    EXPECT_TRUE(CheckAnswerTimeouts(rig.packets));
    EXPECT_EQ(rig.device->written.size(), frame * (1 + std::min<size_t>(i, 6))) << i;
    EXPECT_EQ(gaveUp, i == 7 ? 1 : 0);
  }
  EXPECT_FALSE(rig.packets.state.transferActive);
  EXPECT_EQ(rig.packets.state.totalRetryCount, 6);
}

TEST(PacketFrame, TheTestPacketsBytesIdsThatWrapAndTheDiagnosticLines) {
  Rig rig;
  SendTestPacket(rig.packets);
  // The test frame 7E 7E 3B 01 06 00 13 00 01 00 31 30 30 30 30 30: checksum 315 (0x013B).
  EXPECT_EQ(rig.device->written,
            std::vector<uint8_t>({0x7E, 0x7E, 0x3B, 0x01, 0x06, 0x00, 0x13, 0x00, 0x01, 0x00, 0x31,
                                  0x30, 0x30, 0x30, 0x30, 0x30}));
  EXPECT_EQ(PacketChecksum(6, 19, 1, reinterpret_cast<const uint8_t*>("100000"), 6), 315);
  struct Handler : PacketHandler {
    void OnTransferPacket(ReceivedPacket&) override {}
    void OnFlashEraseResult(const std::string&) override {}
  } handler;
  auto dispatch = [&](uint16_t command) {
    FrameParser parser;
    PacketPtr packet;
    for (uint8_t byte : Frame(command, 7, "hello")) packet = parser.Feed(byte);
    RS232_DispatchPacket(rig.packets, *packet, handler);
  };
  const uint8_t raw[] = {0x7E, 0x7E, 0x0D, 'A', 0xFF};
  const std::pair<std::function<void()>, std::string> kLines[] = {
      {[&] { RS232_LogLastCommand(rig.packets); },
       "LAST COMMAND: Resend=0, Id=1, Cmd=19, cs=315, buf(6)=100000, cause=Unknown"},
      {[&] { dispatch(RS232_LOG); }, "LOG:  Id=7, Cmd=3, cs=547,547, len=5,  buf(5)=hello"},
      {[&] { dispatch(4); }, "ERROR Unknown Command:  Id=7, Cmd=4, cs=548,548, len=5,  buf(5)=hello"},
      {[&] { rig.log.Add(FormatRawLine(raw, sizeof raw)); }, "RAW_DATA: ~~[13]A[-1]"},
  };
  for (const auto& [make, line] : kLines) {
    const size_t before = rig.host.Lines().size();
    make();
    ASSERT_GT(rig.host.Lines().size(), before);
    EXPECT_EQ(rig.host.Lines()[before], line);
  }
  EXPECT_EQ(rig.log.Count(), rig.host.Lines().size());
  // After a resend the line names its cause.
  for (const auto& [cause, name] : {std::pair{REMOTE_CHECKSUM, "REMOTE_CHECKSUM"},
                                    std::pair{LOCAL_CHECKSUM, "LOCAL_CHECKSUM"},
                                    std::pair{REMOTE_TIMEOUT, "REMOTE_TIMEOUT"},
                                    std::pair{LOCAL_TIMEOUT, "LOCAL_TIMEOUT"}}) {
    RS232_ResendPacket(rig.packets, cause);
    RS232_LogLastCommand(rig.packets);
    EXPECT_EQ(rig.LastLine(), "LAST COMMAND: Resend=1, Id=1, Cmd=19, cs=315, buf(6)=100000, cause=" +
                                  std::string(name));
  }
  rig.packets.state.idCounter = 65534;
  for (uint16_t id : {uint16_t{65535}, uint16_t{0}}) {
    rig.device->written.clear();
    SendTestPacket(rig.packets);
    EXPECT_EQ(rig.device->written, Frame(RS232_TEST, id, "100000"));
  }
}

// A burst of 600 bytes is read as a block of 511 and one of 89; each goes
// to the parser and, with raw logging on, makes its own line.
TEST(ReceiveDrain, ABurstOf600BytesIsReadAs511And89) {
  Rig rig;
  std::vector<size_t> blocks;
  ReceiveThread receiver(rig.link, rig.log, rig.host, rig.host,
                         [&](const uint8_t*, size_t count) { blocks.push_back(count); }, 100);
  receiver.SetRawLogging(true);
  rig.device->incoming.assign(600, 'A');
  rig.device->incoming[0] = 0xFF;
  receiver.RS232_DrainReceive();
  EXPECT_EQ(blocks, std::vector<size_t>({511, 89}));
  const auto lines = rig.host.Lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "RAW_DATA: [-1]" + std::string(510, 'A'));
  EXPECT_EQ(lines[1], "RAW_DATA: " + std::string(89, 'A'));
}

// The bootloader image of 30,356 bytes goes out as writes of 16,384 and
// 13,972 bytes; the strip counts thousands: range 30, positions 16 and 30.
TEST(ImageDownload, TheBootloaderImageGoesInBlocksOf16384And13972) {
  struct Watcher : TestHost {
    std::mutex mutex;
    std::vector<std::pair<int, uint32_t>> events;  // kind, value
    void OnProgress(const ProgressEvent& e) override {
      std::lock_guard<std::mutex> lock(mutex);
      events.emplace_back(e.kind, e.value);
    }
  } host;
  EventLog log(host, host);
  SerialLink link;
  auto device = std::make_shared<MemoryDevice>();
  link.Exchange(device);
  ReceiveThread receiver(link, log, host, host, [](const uint8_t*, size_t) {}, 100);
  Limits limits;
  BootJobs boot(link, receiver, log, host, host, limits);
  const std::string image = RandomBytes(30356, 7);
  ASSERT_TRUE(boot.StartDownload(reinterpret_cast<const uint8_t*>(image.data()), image.size(),
                                 115200, DownloadRun::BOOTLOADER_UPDATE)
                  .started);
  bool ended = false;
  ASSERT_TRUE(host.Loop([&] { return ended; }, 10,
                        [&](UiMessage m) {
                          if (m.kind == UiMessage::BOOT_DONE) boot.OnBootDone(), ended = true;
                        },
                        [] {}));
  EXPECT_EQ(device->writes, std::vector<size_t>({16384, 13972}));
  EXPECT_EQ(std::string(device->written.begin(), device->written.end()), image);
  using E = ProgressEvent;
  EXPECT_EQ(host.events, (std::vector<std::pair<int, uint32_t>>(
                             {{E::CREATE, 30}, {E::SET, 16}, {E::SET, 30}})));
}

// The transfers on a memory port, fed the readout's frames; a resend is
// marked by a frame with command 0 in the list.
struct TransferRig {
  struct Ends : TestHost {
    Ends() : TestHost(true) {}
    std::vector<JobEnd> ends;
    void OnJobEnd(const JobEnd& e) override { ends.push_back(e); }
  } host;
  EventLog log{host, host};
  SerialLink link;
  PacketLink packets{link, log, host};
  Transfers transfers{packets, log, host, host};
  // The engine's part in between: the readout's transfer answers go to the transfers.
  struct Route : PacketHandler {
    explicit Route(Transfers& to) : transfers(to) {}
    void OnTransferPacket(ReceivedPacket& packet) override { transfers.OnTransferPacket(packet); }
    void OnFlashEraseResult(const std::string&) override {}
    Transfers& transfers;
  } route{transfers};
  TempDir dir;
  TransferRig() {
    link.Exchange(std::make_shared<MemoryDevice>());
    WriteFile(dir / "out.bin", "old");
  }
  void Answer(const std::vector<std::pair<uint16_t, std::string>>& frames, uint16_t id) {
    FrameParser parser;
    for (const auto& [command, data] : frames) {
      if (command == 0) {
        RS232_ResendPacket(packets, LOCAL_TIMEOUT);
        continue;
      }
      for (uint8_t byte : Frame(command, id, data)) {
        if (PacketPtr packet = parser.Feed(byte)) RS232_DispatchPacket(packets, *packet, route);
      }
    }
  }
};

// A stray NLEC result (code 7, "0") in the middle of a file receive never
// reports that receive done: it ends failed and the destination stays.
TEST(TransferAnswers, AnNlecResultDuringAFileReceiveEndsItFailed) {
  TransferRig rig;
  ASSERT_TRUE(rig.transfers.StartFileReceive(FILE_KIND_SETTINGS, rig.dir / "out.bin", "", "").started);
  rig.Answer({{20, "3"}, {21, "abc"}, {7, "0"}}, 1);
  ASSERT_EQ(rig.host.ends.size(), 1u);
  EXPECT_EQ(rig.host.ends[0].job, Job::FILE_RECEIVE);
  EXPECT_EQ(rig.host.ends[0].outcome, Outcome::FAILED);
  EXPECT_EQ(ReadFile(rig.dir / "out.bin"), "old");
}

// The readout's NLEC error in the middle of a file receive ends it once, as
// the error, with the bytes that came and the part that keeps them.
TEST(TransferAnswers, AnNlecErrorDuringAFileReceiveEndsItOnceKeepingThePart) {
  TransferRig rig;
  ASSERT_TRUE(rig.transfers.StartFileReceive(FILE_KIND_SETTINGS, rig.dir / "out.bin", "", "").started);
  rig.Answer({{20, "5"}, {21, "abc"}, {8, ""}}, 1);
  ASSERT_EQ(rig.host.ends.size(), 1u);
  const JobEnd& end = rig.host.ends[0];
  EXPECT_EQ(end.cause, Cause::NLEC_ERROR);
  EXPECT_EQ(end.bytes, 3u);
  ASSERT_FALSE(end.keptPart.empty());
  EXPECT_EQ(ReadFile(end.keptPart), "abc");
  EXPECT_EQ(ReadFile(rig.dir / "out.bin"), "old");
}

// A readout with one constant id answers the host's late ack and its resend
// with the same piece: the piece is written once. (Its "1" to a chunk, the
// same again, is acted on: see the table's constant-id rows.)
TEST(TransferAnswers, APieceRepeatedAfterAResendIsWrittenOnceWhateverTheIds) {
  TransferRig rig;
  ASSERT_TRUE(rig.transfers.StartFileReceive(FILE_KIND_SETTINGS, rig.dir / "out.bin", "", "").started);
  rig.Answer({{20, "3"}, {0, ""}, {21, "abc"}, {21, "abc"}, {22, "1"}}, 1);
  ASSERT_EQ(rig.host.ends.size(), 1u);
  EXPECT_EQ(rig.host.ends[0].outcome, Outcome::DONE) << rig.host.ends[0].reason;
  EXPECT_EQ(ReadFile(rig.dir / "out.bin"), "abc");
}

// Answers with nothing of theirs running are not acted on: no file is
// written, nothing is sent, nothing ends. A binary file's error report ends
// its send with the binary texts.
TEST(TransferAnswers, StrayAnswersChangeNothingAndABinaryFileErrorEndsItsSend) {
  TransferRig rig;
  rig.Answer({{21, "x"}, {22, "1"}, {5, "1"}, {17, "a"}, {18, "b"}}, 1);
  EXPECT_TRUE(rig.host.ends.empty());
  EXPECT_EQ(ReadFile(rig.dir / "out.bin"), "old");
  WriteFile(rig.dir / "in.bin", "abc");
  ASSERT_TRUE(rig.transfers.StartFileSend(FILE_KIND_BINARY, rig.dir / "in.bin", "").started);
  rig.Answer({{13, "Full"}}, 2);
  ASSERT_EQ(rig.host.ends.size(), 1u);
  EXPECT_EQ(rig.host.ends[0].outcome, Outcome::FAILED);
  EXPECT_EQ(rig.host.ends[0].readoutText, "Full");
  const auto lines = rig.host.Lines();
  EXPECT_NE(std::find(lines.begin(), lines.end(), "Binary Transfer error."), lines.end());
}

// A CR is a line end only with its LF, at the end of the text too; the
// port's name in the registry ("COM12") gives its number.
TEST(TextAndNames, ACarriageReturnAloneStaysAndPortNamesGiveTheirNumber) {
  for (const auto& [raw, text] : {std::pair<std::string, std::string>{"a\r", "a\r"},
                                  {"a\rb\r\n", "a\rb\n"}, {"x\x1Ay", "x"}}) {
    std::string buffer = raw;
    std::FILE* file = fmemopen(buffer.data(), buffer.size(), "rb");
    ASSERT_NE(file, nullptr);
    std::string got;
    for (int c; (c = ReadTextChar(file)) != EOF;) got += static_cast<char>(c);
    std::fclose(file);
    EXPECT_EQ(got, text);
  }
  EXPECT_EQ(ParsePortName("COM12"), 12);
  EXPECT_EQ(ParsePortName("COM3"), 3);
}

// An erase whose answer never comes ends failed once its bound has passed.
TEST(FlashErase, AnAnswerThatNeverComesEndsTheEraseAfterItsBound) {
  struct Watcher : TestHost {
    std::vector<JobEnd> ends;
    void OnJobEnd(const JobEnd& e) override { ends.push_back(e); }
  } host;
  EventLog log(host, host);
  SerialLink link;
  auto device = std::make_shared<MemoryDevice>();
  link.Exchange(device);
  ReceiveThread receiver(link, log, host, host, [](const uint8_t*, size_t) {}, 100);
  Limits limits;
  limits.eraseAnswerMs = 50;
  BootJobs boot(link, receiver, log, host, host, limits);
  ASSERT_TRUE(boot.StartErase().started);
  bool ended = false;
  ASSERT_TRUE(host.Loop([&] { return ended; }, 10,
                        [&](UiMessage m) {
                          if (m.kind == UiMessage::BOOT_DONE) boot.OnBootDone(), ended = true;
                        },
                        [] {}));
  ASSERT_EQ(host.ends.size(), 1u);
  EXPECT_EQ(host.ends[0].cause, Cause::NO_ANSWER);
  EXPECT_EQ(device->written, std::vector<uint8_t>({0x07, 0x06}));
}

// What a posted packet holds, as one comparable text.
std::string Describe(const ReceivedPacket& p) {
  return std::to_string(p.command) + "/" + std::to_string(p.id) + "/" + std::to_string(p.length) +
         "/" + std::to_string(p.dataCount) + "/" + std::to_string(p.receivedChecksum) + "/" +
         std::to_string(p.computedChecksum) + "/" +
         std::string(reinterpret_cast<const char*>(p.data), p.length);
}

std::vector<std::string> Feed(const std::vector<std::vector<uint8_t>>& blocks) {
  Rig rig;
  for (const auto& block : blocks) RS232_ReceiveBytes(rig.packets, block.data(), block.size());
  std::vector<std::string> posted;
  for (const auto& packet : rig.host.TakePackets()) posted.push_back(Describe(*packet));
  return posted;
}

TEST(ParserSplits, EverySplitOfTheStreamGivesThePacketsOfTheWhole) {
  std::vector<uint8_t> stream;
  auto add = [&](const std::vector<uint8_t>& bytes) {
    stream.insert(stream.end(), bytes.begin(), bytes.end());
  };
  add(Frame(RS232_TEST, 1, "100000"));
  add(Frame(RS232_FILE_CHUNK, 2, "a~~b~"));  // start marks inside the data are data
  add(Frame(RS232_NOP, 3, ""));
  add({'~', 'x'});  // a lone mark and its follower are dropped
  add(Frame(RS232_FILE_GET_DATA, 4, "after junk"));
  const auto shifted = Frame(RS232_LOG, 5, "shifted");
  add({0x7E, 0x7E, 0x7E});  // three marks: the third is the checksum's low byte
  stream.insert(stream.end(), shifted.begin() + 3, shifted.end());
  PacketHeader oversize;  // announces 600 data bytes: never stored, never posted
  oversize.bytes = {0x7E, 0x7E, 0x00, 0x00, 0x58, 0x02, 21, 0, 6, 0};
  add({oversize.bytes.begin(), oversize.bytes.end()});
  add(Frame(RS232_FILE_GET_END, 7, "end"));

  auto want = [](uint16_t command, uint16_t id, const std::string& data, int received = -1) {
    ReceivedPacket p;
    p.command = command, p.id = id, p.length = static_cast<uint16_t>(data.size());
    p.dataCount = p.length;
    std::copy(data.begin(), data.end(), p.data);
    p.computedChecksum = PacketChecksum(p.length, command, id, p.data, data.size());
    p.receivedChecksum = received < 0 ? p.computedChecksum : static_cast<uint16_t>(received);
    return Describe(p);
  };
  const std::vector<std::string> whole = Feed({stream});
  EXPECT_EQ(whole, std::vector<std::string>({want(19, 1, "100000"), want(11, 2, "a~~b~"),
                                             want(23, 3, ""), want(21, 4, "after junk"),
                                             want(3, 5, "shifted", 0x7E | shifted[3] << 8),
                                             want(22, 7, "end")}));
  for (size_t cut = 0; cut <= stream.size(); ++cut) {
    std::vector<uint8_t> head(stream.begin(), stream.begin() + static_cast<std::ptrdiff_t>(cut));
    std::vector<uint8_t> tail(stream.begin() + static_cast<std::ptrdiff_t>(cut), stream.end());
    ASSERT_EQ(Feed({head, tail}), whole) << "split at " << cut;
  }
}

// The timeout's reset, on the handler thread, against the parser on the
// receive thread: a posted packet is always one the readout sent whole.
TEST(ParserRace, AResetNeverTearsAPacket) {
  Rig rig;
  std::vector<std::vector<uint8_t>> frames;
  for (uint16_t id = 1; frames.size() < 1000; ++id) {
    auto frame =
        Frame(RS232_FILE_GET_DATA, id, std::string(id % 40 + 1, static_cast<char>('A' + id % 26)));
    // No mark after the first two, so a dropped half cannot start a frame.
    if (std::find(frame.begin() + 2, frame.end(), START_MARK) == frame.end())
      frames.push_back(frame);
  }
  std::atomic<bool> stop{false};
  std::atomic<int> resets{0};
  std::thread handler([&] {
    while (!stop) {
      rig.host.tick += 200;
      if (CheckAnswerTimeouts(rig.packets)) ++resets;
    }
  });
  for (int round = 0; round < 20; ++round) {
    for (const auto& frame : frames) {
      const size_t half = frame.size() / 2;
      RS232_ReceiveBytes(rig.packets, frame.data(), half);
      RS232_ReceiveBytes(rig.packets, frame.data() + half, frame.size() - half);
    }
  }
  stop = true;
  handler.join();
  const auto packets = rig.host.TakePackets();
  EXPECT_GT(resets.load(), 0);
  EXPECT_GT(packets.size(), 0u);
  for (const auto& p : packets) {
    ASSERT_EQ(p->receivedChecksum, p->computedChecksum) << Describe(*p);
    ASSERT_EQ(p->length, p->id % 40 + 1) << Describe(*p);
    ASSERT_EQ(std::string(reinterpret_cast<const char*>(p->data), p->length),
              std::string(p->length, static_cast<char>('A' + p->id % 26)));
  }
}

// The log keeps at least its bound and at most a quarter more, lets the
// oldest lines go and counts them; a bound of 0 keeps none.
TEST(EventLogBound, KeepsTheLastLinesAndCountsTheDroppedOnes) {
  TestHost host;
  EventLog log{host, host, 4};
  for (size_t i = 0; i < 23; ++i) {
    log.Add("line " + std::to_string(i));
    EXPECT_LE(log.Count(), 5u);
    EXPECT_GE(log.Count(), std::min<size_t>(i + 1, 4));
    EXPECT_EQ(log.Dropped() + log.Count(), i + 1);
  }
  uint64_t dropped = 0;
  std::vector<std::string> lines = log.Lines(0, &dropped);
  EXPECT_EQ(dropped, log.Dropped());
  EXPECT_EQ(lines.front(), "line " + std::to_string(dropped));
  EXPECT_EQ(lines.back(), "line 22");
  EXPECT_EQ(log.Lines(22), std::vector<std::string>{"line 22"});
  log.SetKeep(0);
  log.Add("not kept");
  EXPECT_EQ(log.Count(), 0u);
  EXPECT_EQ(log.Dropped(), 24u);
  EXPECT_EQ(host.Lines().back(), "not kept");  // shown all the same
}

// A part's name where the usual ones are all taken, where no file can be
// made, and a destination whose links go round: each is refused with why,
// and nothing of what was there is touched.
TEST(PartFile, RefusesWithWhyWhenNoNameIsFreeNoFileCanBeMadeOrLinksGoRound) {
  TempDir dir;
  TestHost host;
  const std::string target = dir / "out.bin";
  WriteFile(target + ".part", "mine");
  for (int n = 1; n < 100; ++n) WriteFile(target + "." + std::to_string(n) + ".part", "");
  std::string part, why, note;
  EXPECT_EQ(CreatePartFile(host, target, &part, &why, &note), nullptr);
  EXPECT_EQ(why, "no free name for the part of " + target + ": " + target + ".part to " + target +
                     ".99.part are taken");
  EXPECT_EQ(ReadFile(target + ".part"), "mine");
  EXPECT_EQ(CreatePartFile(host, dir / "none/out.bin", &part, &why, &note), nullptr);
  EXPECT_EQ(why, dir / "none/out.bin.part" + ": No such file or directory");
  std::filesystem::create_symlink("b", dir / "a");
  std::filesystem::create_symlink("a", dir / "b");
  EXPECT_EQ(ReplacedFile(dir / "a"), "");
  EXPECT_FALSE(CommitPartFile(dir / "gone.part", dir / "c", &why, &note));
  EXPECT_EQ(why.rfind("cannot put the received file in place: " + (dir / "c") + ": ", 0), 0u) << why;
}

// Digests name every image and file in the output and the report; the
// expected values are the published test vectors.
TEST(Sha256, PublishedVectorsWholeAndFedInOddPieces) {
  auto text = [](const char* s) { return reinterpret_cast<const uint8_t*>(s); };
  EXPECT_EQ(Sha256Hex(text(""), 0), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(Sha256Hex(text("abc"), 3), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  const char* twoBlocks = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
  EXPECT_EQ(Sha256Hex(text(twoBlocks), 56), "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
  Sha256 million;
  std::string as(1001, 'a');
  for (int i = 0; i < 1000; ++i) million.Update(text(as.data()), i % 2 ? 999 : 1001);
  EXPECT_EQ(million.HexDigest(), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

}  // namespace
}  // namespace quillon::test
