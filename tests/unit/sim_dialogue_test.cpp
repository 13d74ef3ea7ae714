// The readout's side of each packet dialogue, driven byte by byte.
#include <gtest/gtest.h>

#include "sim_test_support.h"

namespace quillon::sim::test {
namespace {

class SimDialogue : public ::testing::Test {
 protected:
  SimDialogue() { options_.storeDir = dir_.str(); }
  // Built on first use, so a test may change the options before.
  HostSide& Host() {
    if (!engine_) {
      engine_ = std::make_unique<SimEngine>(options_, &transcript_);
      host_ = std::make_unique<HostSide>(*engine_);
    }
    return *host_;
  }
  SimEngine& Engine() {
    Host();
    return *engine_;
  }
  // Sends a packet, expects one answer with the given command and returns its text.
  std::string Ask(uint16_t cmd, const std::string& text, uint16_t answer) {
    Host().Send(cmd, text);
    ReceivedPacket p = Host().One();
    EXPECT_EQ(p.command, answer) << "asked " << cmd << " " << text;
    return TextOf(p);
  }

  TempDir dir_;
  SimOptions options_;
  Transcript transcript_;
  std::unique_ptr<SimEngine> engine_;
  std::unique_ptr<HostSide> host_;
};

TEST_F(SimDialogue, TestCommandIsEchoedWithItsOwnCodeAndTranscribed) {
  std::vector<uint8_t> noise = {0x01, 0x7E, 0x02, 0x33};  // skipped, transcribed as raw
  Engine().Receive(noise.data(), noise.size(), 0);
  Host().Send(CMD_TEST, "100000");
  ReceivedPacket answer = Host().One();
  EXPECT_EQ(answer.command, CMD_TEST);
  EXPECT_EQ(answer.id, 1);
  EXPECT_EQ(TextOf(answer), "100000");
  EXPECT_EQ(answer.receivedChecksum, answer.computedChecksum);

  auto entries = transcript_.Entries();
  ASSERT_GE(entries.size(), 2u);
  EXPECT_EQ(entries[0].kind, "raw");
  EXPECT_EQ(entries[0].hex, "017E0233");
  EXPECT_EQ(entries[1].dir, "rx");
  EXPECT_EQ(entries[1].kind, "frame");
  EXPECT_EQ(entries[1].cmd, 19);
  EXPECT_EQ(entries[1].hex, "7E7E3B01060013000100313030303030");
}

TEST_F(SimDialogue, FileSendStoresEachKindAndAnswersTheSum) {
  struct Case {
    int kind;
    const char* name;
    size_t size;
  } cases[] = {{25, "settings.bin", 300}, {26, "program.bin", 300}, {24, "bitmap.bin", 300},
               {9, "binary.bin", 300},    {25, "settings.bin", 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.name) + " " + std::to_string(c.size));
    std::vector<uint8_t> file(c.size);
    uint32_t sum = 0;
    for (size_t i = 0; i < file.size(); ++i) {
      file[i] = static_cast<uint8_t>(i * 7 + static_cast<size_t>(c.kind));
      sum += file[i];
    }
    Ask(CMD_FILE_SEND_START,
        std::to_string(c.kind) + "," + std::to_string(sum & 0xFFFF) + "," + std::to_string(c.size) + ",",
        CMD_FILE_CHUNK);
    for (size_t at = 0; at < file.size(); at += 128) {
      size_t n = std::min<size_t>(128, file.size() - at);
      Host().Send(CMD_FILE_CHUNK, std::vector<uint8_t>(file.begin() + static_cast<long>(at),
                                                       file.begin() + static_cast<long>(at + n)));
      EXPECT_EQ(Host().One().command, CMD_FILE_CHUNK);
    }
    EXPECT_EQ(Ask(CMD_FILE_SEND_END, "1", CMD_FILE_SEND_END), std::to_string(sum & 0xFFFF));
    ASSERT_TRUE(std::filesystem::exists(dir_.File(c.name)));
    EXPECT_EQ(ReadAll(dir_.File(c.name)), file);
  }
}

TEST_F(SimDialogue, AResentChunkIsAnsweredAgainButStoredOnce) {
  Ask(CMD_FILE_SEND_START, "25,3,3,", CMD_FILE_CHUNK);
  Host().Send(CMD_FILE_CHUNK, std::vector<uint8_t>{1, 2});
  std::vector<uint8_t> first = Host().Wire();
  Host().Resend();
  EXPECT_EQ(Host().Wire(), first);  // the same answer, same id
  Ask(CMD_FILE_CHUNK, std::string(1, '\0'), CMD_FILE_CHUNK);
  EXPECT_EQ(Ask(CMD_FILE_SEND_END, "1", CMD_FILE_SEND_END), "3");
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

TEST_F(SimDialogue, PacketsOutOfTheirDialogueOrWithoutAFileAreErrors) {
  EXPECT_EQ(Ask(CMD_FILE_GET_START, "25", CMD_FILE_ERROR), "File not found");
  Ask(CMD_FILE_CHUNK, "\x01\x02\x03", CMD_FILE_ERROR);
  Ask(CMD_FILE_SEND_END, "1", CMD_FILE_ERROR);
  EXPECT_FALSE(std::filesystem::exists(dir_.File("binary.bin")));
  Ask(CMD_NLEC_GET_START, "1", CMD_NLEC_ERROR);  // no table
}

TEST_F(SimDialogue, FileReceiveServesPiecesThenTheEnd) {
  std::vector<uint8_t> file(300);
  for (size_t i = 0; i < file.size(); ++i) file[i] = static_cast<uint8_t>(255 - i % 256);
  WriteAll(dir_.File("settings.bin"), file);
  EXPECT_EQ(Ask(CMD_FILE_GET_START, "25", CMD_FILE_GET_START), "300");

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

  // An empty file ends at the first acknowledgement.
  WriteAll(dir_.File("settings.bin"), {});
  EXPECT_EQ(Ask(CMD_FILE_GET_START, "25", CMD_FILE_GET_START), "0");
  Ask(CMD_FILE_GET_DATA, "1", CMD_FILE_GET_END);
}

TEST_F(SimDialogue, ProgramReceiveFindsTheNamedFileButNeverLeavesTheStore) {
  WriteAll(dir_.File("PROG1"), Bytes("named"));
  WriteAll(dir_.File("program.bin"), Bytes("fallback"));
  EXPECT_EQ(Ask(CMD_FILE_GET_START, "26PROG1", CMD_FILE_GET_START), "5");
  EXPECT_EQ(Ask(CMD_FILE_GET_START, "26NOSUCH", CMD_FILE_GET_START), "8");
  // A name that climbs out of the store is never opened.
  const std::string store = std::filesystem::path(dir_.str()).filename().string();
  EXPECT_EQ(Ask(CMD_FILE_GET_START, "26../" + store + "/PROG1", CMD_FILE_GET_START), "8");
}

TEST_F(SimDialogue, NlecSendStoresTheLinesAndAnswersTheCharacterSum) {
  std::string text = "a,1\nbb,22\nlast";
  uint32_t sum = 0;
  for (char c : text) sum += static_cast<uint8_t>(c);
  Ask(CMD_NLEC_SEND_START, std::to_string(sum), CMD_NLEC_SEND_START);
  for (const char* line : {"a,1\n", "bb,22\n", "last"}) Ask(CMD_NLEC_LINE, line, CMD_NLEC_LINE);
  EXPECT_EQ(Ask(CMD_NLEC_SEND_END, "1", CMD_NLEC_SEND_END), std::to_string(sum));
  EXPECT_EQ(ReadAll(dir_.File("nlec.txt")), Bytes(text));
}

TEST_F(SimDialogue, NlecGetSendsTheCountThenLinesWithTheLastAsEnd) {
  WriteAll(dir_.File("nlec.txt"), Bytes("one\r\ntwo\nthree\n"));
  EXPECT_EQ(Ask(CMD_NLEC_GET_START, "1", CMD_NLEC_GET_START), "3");
  EXPECT_EQ(Ask(CMD_NLEC_GET_LINE, "1", CMD_NLEC_GET_LINE), "one");
  EXPECT_EQ(Ask(CMD_NLEC_GET_LINE, "1", CMD_NLEC_GET_LINE), "two");
  EXPECT_EQ(Ask(CMD_NLEC_GET_LINE, "1", CMD_NLEC_GET_END), "three");
  // The dialogue is over: a further acknowledgement is an error.
  Ask(CMD_NLEC_GET_LINE, "1", CMD_NLEC_ERROR);
}

TEST_F(SimDialogue, AFrameWithABadChecksumIsAnsweredWithCode1AndNotTaken) {
  std::vector<uint8_t> frame = EncodeFrame(CMD_FILE_SEND_START, 1, Bytes("25,0,0,").data(), 7);
  frame[2] ^= 1;
  Engine().Receive(frame.data(), frame.size(), 0);
  EXPECT_EQ(Host().One().command, CMD_BAD_CHECKSUM);
  Ask(CMD_FILE_CHUNK, "x", CMD_FILE_ERROR);  // no file send was started
  ASSERT_FALSE(transcript_.Entries().empty());
  EXPECT_FALSE(transcript_.Entries()[0].checksumOk);
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
