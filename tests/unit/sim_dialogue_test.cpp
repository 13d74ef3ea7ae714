// The readout's side of each packet dialogue, driven byte by byte.
#include <gtest/gtest.h>

#include "sim_test_support.h"

namespace quillon::sim::test {
namespace {

class SimDialogue : public ::testing::Test {
 protected:
  SimDialogue() {
    options_.storeDir = dir_.str();
  }
  SimEngine& Engine() {
    if (!engine_) {
      engine_ = std::make_unique<SimEngine>(options_, &transcript_);
      host_ = std::make_unique<HostSide>(*engine_);
    }
    return *engine_;
  }
  HostSide& Host() {
    Engine();
    return *host_;
  }

  TempDir dir_;
  SimOptions options_;
  Transcript transcript_;
  std::unique_ptr<SimEngine> engine_;
  std::unique_ptr<HostSide> host_;
};

TEST_F(SimDialogue, TestCommandIsEchoedAsALogLineAndTranscribed) {
  Host().Send(CMD_TEST, "100000");
  ReceivedPacket answer = Host().One();
  EXPECT_EQ(answer.command, CMD_LOG);
  EXPECT_EQ(answer.id, 1);
  EXPECT_EQ(TextOf(answer), "100000");
  EXPECT_EQ(answer.receivedChecksum, answer.computedChecksum);

  auto entries = transcript_.Entries();
  ASSERT_GE(entries.size(), 1u);
  EXPECT_EQ(entries[0].dir, "rx");
  EXPECT_EQ(entries[0].kind, "frame");
  EXPECT_EQ(entries[0].cmd, 19);
  EXPECT_EQ(entries[0].hex, "7E7E3B01060013000100313030303030");
}

TEST_F(SimDialogue, FileSendStoresEachKindAndAnswersTheSum) {
  struct Case {
    int kind;
    const char* name;
  } cases[] = {{25, "settings.bin"}, {26, "program.bin"}, {24, "bitmap.bin"}, {9, "binary.bin"}};
  for (const Case& c : cases) {
    std::vector<uint8_t> file(300);
    uint32_t sum = 0;
    for (size_t i = 0; i < file.size(); ++i) {
      file[i] = static_cast<uint8_t>(i * 7 + static_cast<size_t>(c.kind));
      sum += file[i];
    }
    Host().Send(CMD_FILE_SEND_START, std::to_string(c.kind) + "," + std::to_string(sum & 0xFFFF) +
                                          "," + std::to_string(file.size()) + ",");
    EXPECT_EQ(Host().One().command, CMD_FILE_CHUNK);
    for (size_t at = 0; at < file.size(); at += 128) {
      size_t n = std::min<size_t>(128, file.size() - at);
      Host().Send(CMD_FILE_CHUNK, std::vector<uint8_t>(file.begin() + static_cast<long>(at),
                                                       file.begin() + static_cast<long>(at + n)));
      EXPECT_EQ(Host().One().command, CMD_FILE_CHUNK);
    }
    Host().Send(CMD_FILE_SEND_END, "1");
    ReceivedPacket end = Host().One();
    EXPECT_EQ(end.command, CMD_FILE_SEND_END);
    EXPECT_EQ(TextOf(end), std::to_string(sum & 0xFFFF)) << c.name;
    EXPECT_EQ(ReadAll(dir_.File(c.name)), file) << c.name;
  }
}

TEST_F(SimDialogue, EmptyFileSendStoresAnEmptyFileWithSumZero) {
  Host().Send(CMD_FILE_SEND_START, "25,0,0,");
  Host().One();
  Host().Send(CMD_FILE_SEND_END, "1");
  EXPECT_EQ(TextOf(Host().One()), "0");
  EXPECT_TRUE(std::filesystem::exists(dir_.File("settings.bin")));
  EXPECT_TRUE(ReadAll(dir_.File("settings.bin")).empty());
}

TEST_F(SimDialogue, AResentChunkIsAnsweredAgainButStoredOnce) {
  Host().Send(CMD_FILE_SEND_START, "25,3,3,");
  Host().One();
  Host().Send(CMD_FILE_CHUNK, std::vector<uint8_t>{1, 2});
  std::vector<uint8_t> first = Host().Wire();
  Host().Resend();
  EXPECT_EQ(Host().Wire(), first);  // the same answer, same id
  Host().Send(CMD_FILE_CHUNK, std::vector<uint8_t>{0});
  Host().One();
  Host().Send(CMD_FILE_SEND_END, "1");
  EXPECT_EQ(TextOf(Host().One()), "3");
  EXPECT_EQ(ReadAll(dir_.File("settings.bin")), (std::vector<uint8_t>{1, 2, 0}));
}

TEST_F(SimDialogue, ARepeatLongAfterTheAnswerIsANewPacket) {
  // First session: the settings file is missing.
  Host().Send(CMD_FILE_GET_START, "25", 1000);
  EXPECT_EQ(Host().One().command, CMD_FILE_ERROR);
  WriteAll(dir_.File("settings.bin"), Bytes("abc"));
  // A new session sends the very same first packet (same id) much later.
  HostSide second(Engine());
  second.Send(CMD_FILE_GET_START, "25", 5000);
  ReceivedPacket p = second.One();
  EXPECT_EQ(p.command, CMD_FILE_GET_START);
  EXPECT_EQ(TextOf(p), "3");
}

TEST_F(SimDialogue, ChunksOutsideAFileSendAreRefusedWithAFileError) {
  Host().Send(CMD_FILE_CHUNK, std::vector<uint8_t>{1, 2, 3});
  EXPECT_EQ(Host().One().command, CMD_FILE_ERROR);
  Host().Send(CMD_FILE_SEND_END, "1");
  EXPECT_EQ(Host().One().command, CMD_FILE_ERROR);
  EXPECT_FALSE(std::filesystem::exists(dir_.File("binary.bin")));
}

TEST_F(SimDialogue, FileReceiveServesPiecesThenTheEnd) {
  std::vector<uint8_t> file(300);
  for (size_t i = 0; i < file.size(); ++i) file[i] = static_cast<uint8_t>(255 - i % 256);
  WriteAll(dir_.File("settings.bin"), file);

  Host().Send(CMD_FILE_GET_START, "25");
  ReceivedPacket size = Host().One();
  EXPECT_EQ(size.command, CMD_FILE_GET_START);
  EXPECT_EQ(TextOf(size), "300");

  std::vector<uint8_t> got;
  std::vector<int> pieces;
  Host().Send(CMD_FILE_GET_DATA, "1");
  for (int guard = 0; guard < 10; ++guard) {
    ReceivedPacket p = Host().One();
    if (p.command == CMD_FILE_GET_END) break;
    ASSERT_EQ(p.command, CMD_FILE_GET_DATA);
    pieces.push_back(p.dataCount);
    got.insert(got.end(), p.data, p.data + p.dataCount);
    Host().Send(CMD_FILE_GET_DATA, "25");
  }
  EXPECT_EQ(pieces, (std::vector<int>{128, 128, 44}));
  EXPECT_EQ(got, file);
}

TEST_F(SimDialogue, ProgramReceiveFindsTheNamedFileButNeverLeavesTheStore) {
  WriteAll(dir_.File("PROG1"), Bytes("named"));
  WriteAll(dir_.File("program.bin"), Bytes("fallback"));
  Host().Send(CMD_FILE_GET_START, "26PROG1");
  EXPECT_EQ(TextOf(Host().One()), "5");
  Host().Send(CMD_FILE_GET_START, "26NOSUCH");
  EXPECT_EQ(TextOf(Host().One()), "8");
  // A name that climbs out of the store is never opened.
  Host().Send(CMD_FILE_GET_START, "26../" + std::filesystem::path(dir_.str()).filename().string() + "/PROG1");
  EXPECT_EQ(TextOf(Host().One()), "8");
}

TEST_F(SimDialogue, MissingFileIsAFileErrorWithText) {
  Host().Send(CMD_FILE_GET_START, "25");
  ReceivedPacket p = Host().One();
  EXPECT_EQ(p.command, CMD_FILE_ERROR);
  EXPECT_EQ(TextOf(p), "File not found");
}

TEST_F(SimDialogue, EmptyFileReceiveEndsAtTheFirstAcknowledgement) {
  WriteAll(dir_.File("settings.bin"), {});
  Host().Send(CMD_FILE_GET_START, "25");
  EXPECT_EQ(TextOf(Host().One()), "0");
  Host().Send(CMD_FILE_GET_DATA, "1");
  EXPECT_EQ(Host().One().command, CMD_FILE_GET_END);
}

TEST_F(SimDialogue, NlecSendStoresTheLinesAndAnswersTheCharacterSum) {
  std::string text = "a,1\nbb,22\nlast";
  uint32_t sum = 0;
  for (char c : text) sum += static_cast<uint8_t>(c);
  Host().Send(CMD_NLEC_SEND_START, std::to_string(sum));
  EXPECT_EQ(Host().One().command, CMD_NLEC_SEND_START);
  for (const char* line : {"a,1\n", "bb,22\n", "last"}) {
    Host().Send(CMD_NLEC_LINE, line);
    EXPECT_EQ(Host().One().command, CMD_NLEC_LINE);
  }
  Host().Send(CMD_NLEC_SEND_END, "1");
  ReceivedPacket end = Host().One();
  EXPECT_EQ(end.command, CMD_NLEC_SEND_END);
  EXPECT_EQ(TextOf(end), std::to_string(sum));
  EXPECT_EQ(ReadAll(dir_.File("nlec.txt")), Bytes(text));
}

TEST_F(SimDialogue, NlecGetSendsTheCountThenLinesWithTheLastAsEnd) {
  WriteAll(dir_.File("nlec.txt"), Bytes("one\r\ntwo\nthree\n"));
  Host().Send(CMD_NLEC_GET_START, "1");
  ReceivedPacket count = Host().One();
  EXPECT_EQ(count.command, CMD_NLEC_GET_START);
  EXPECT_EQ(TextOf(count), "3");
  std::vector<std::pair<int, std::string>> lines;
  for (int i = 0; i < 3; ++i) {
    Host().Send(CMD_NLEC_GET_LINE, "1");
    ReceivedPacket p = Host().One();
    lines.emplace_back(p.command, TextOf(p));
  }
  EXPECT_EQ(lines, (std::vector<std::pair<int, std::string>>{
                       {CMD_NLEC_GET_LINE, "one"}, {CMD_NLEC_GET_LINE, "two"}, {CMD_NLEC_GET_END, "three"}}));
  // The dialogue is over: a further acknowledgement is an error.
  Host().Send(CMD_NLEC_GET_LINE, "1");
  EXPECT_EQ(Host().One().command, CMD_NLEC_ERROR);
}

TEST_F(SimDialogue, NlecGetWithoutATableIsAnNlecError) {
  Host().Send(CMD_NLEC_GET_START, "1");
  EXPECT_EQ(Host().One().command, CMD_NLEC_ERROR);
}

TEST_F(SimDialogue, AFrameWithABadChecksumIsAnsweredWithCode1AndNotTaken) {
  std::vector<uint8_t> frame = EncodeFrame(CMD_FILE_SEND_START, 1, Bytes("25,0,0,").data(), 7);
  frame[2] ^= 1;
  Engine().Receive(frame.data(), frame.size(), 0);
  EXPECT_EQ(Host().One().command, CMD_BAD_CHECKSUM);
  Host().Send(CMD_FILE_CHUNK, "x");  // no file send was started
  EXPECT_EQ(Host().One().command, CMD_FILE_ERROR);
  auto entries = transcript_.Entries();
  ASSERT_FALSE(entries.empty());
  EXPECT_FALSE(entries[0].checksumOk);
}

TEST_F(SimDialogue, NoiseBeforeAFrameIsTranscribedAsRawAndSkipped) {
  std::vector<uint8_t> noise = {0x01, 0x7E, 0x02, 0x33};
  Engine().Receive(noise.data(), noise.size(), 0);
  Host().Send(CMD_TEST, "100000");
  EXPECT_EQ(Host().One().command, CMD_LOG);
  auto entries = transcript_.Entries();
  ASSERT_GE(entries.size(), 2u);
  EXPECT_EQ(entries[0].kind, "raw");
  EXPECT_EQ(entries[0].hex, "017E0233");
  EXPECT_EQ(entries[1].kind, "frame");
}

TEST_F(SimDialogue, UnaskedPacketsGoOutAtTheFirstByteOrAfterTheDelay) {
  options_.sendLog = {"hello"};
  options_.sendEraseResult = "0";
  options_.sendNop = true;
  Engine().Start(0);
  Engine().Poll(1000);
  EXPECT_TRUE(Host().Answers().empty());
  uint8_t noise = 0;
  Engine().Receive(&noise, 1, 1500);
  Engine().Poll(1500);
  auto packets = Host().Answers();
  ASSERT_EQ(packets.size(), 3u);
  EXPECT_EQ(packets[0].command, CMD_LOG);
  EXPECT_EQ(TextOf(packets[0]), "hello");
  EXPECT_EQ(packets[1].command, CMD_FLASH_ERASE_RESULT);
  EXPECT_EQ(TextOf(packets[1]), "0");
  EXPECT_EQ(packets[2].command, CMD_NOP);
  EXPECT_EQ(packets[2].length, 0);

  SimOptions timed = options_;
  timed.sendAfterMs = 300;
  SimEngine engine(timed, nullptr);
  engine.Start(100);
  engine.Poll(399);
  EXPECT_TRUE(engine.TakeAll().empty());
  EXPECT_EQ(engine.NextDeadline(), std::optional<uint64_t>(400));
  engine.Poll(400);
  EXPECT_EQ(engine.TakeAll().size(), 3u);
}

}  // namespace
}  // namespace quillon::sim::test
