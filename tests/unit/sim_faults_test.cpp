// Deliberate faults: each one shows on the wire and in the transcript, and
// each is deterministic for a seed.
#include <gtest/gtest.h>

#include <functional>

#include "sim_test_support.h"

namespace quillon::sim::test {
namespace {

struct Rig {
  explicit Rig(const std::function<void(FaultOptions&)>& set) {
    options.storeDir = dir.str();
    set(options.faults);
    engine = std::make_unique<SimEngine>(options, &transcript);
    host = std::make_unique<HostSide>(*engine);
  }
  // Entries marked with the fault, from the transcript and from what was sent.
  size_t WithFault(const std::string& fault, TranscriptEntry* first = nullptr) {
    std::vector<TranscriptEntry> all = transcript.Entries();
    all.insert(all.end(), host->sent.begin(), host->sent.end());
    size_t n = 0;
    for (auto& e : all)
      if (e.fault == fault && n++ == 0 && first) *first = e;
    return n;
  }
  TempDir dir;
  SimOptions options;
  Transcript transcript;
  std::unique_ptr<SimEngine> engine;
  std::unique_ptr<HostSide> host;
};

TEST(SimFaults, DroppedAnswersAreLostAndTheResendGetsThem) {
  Rig nth([&](FaultOptions& f) { f.dropNth = 2; });
  nth.host->Send(CMD_TEST, "100000");
  EXPECT_EQ(nth.host->Answers().size(), 1u);
  nth.host->Send(CMD_FILE_SEND_START, "25,0,0,");
  EXPECT_TRUE(nth.host->Answers().empty());
  TranscriptEntry dropped;
  ASSERT_EQ(nth.WithFault("drop-nth", &dropped), 1u);
  EXPECT_EQ(dropped.kind, "dropped");
  EXPECT_EQ(dropped.cmd, CMD_FILE_CHUNK);
  nth.host->Resend();
  EXPECT_EQ(nth.host->One().command, CMD_FILE_CHUNK);

  Rig every([&](FaultOptions& f) { f.dropEvery = 3; });
  std::vector<size_t> counts;
  for (int i = 0; i < 6; ++i) {
    every.host->Send(CMD_TEST, "100000");
    counts.push_back(every.host->Answers().size());
  }
  EXPECT_EQ(counts, (std::vector<size_t>{1, 1, 0, 1, 1, 0}));
  EXPECT_EQ(every.WithFault("drop-every"), 2u);
}

TEST(SimFaults, CorruptChecksumDamagesOneAnswerAndTheResendIsClean) {
  Rig rig([&](FaultOptions& f) { f.corruptChecksum = 1; });
  rig.host->Send(CMD_TEST, "100000");
  ReceivedPacket bad = rig.host->One();
  EXPECT_NE(bad.receivedChecksum, bad.computedChecksum);
  TranscriptEntry entry;
  ASSERT_EQ(rig.WithFault("corrupt-checksum", &entry), 1u);
  EXPECT_FALSE(entry.checksumOk);
  rig.host->Resend();
  ReceivedPacket good = rig.host->One();
  EXPECT_EQ(good.receivedChecksum, good.computedChecksum);
  EXPECT_EQ(good.id, bad.id);
}

TEST(SimFaults, ClaimedLinkErrorsAnswerCodes1And2WithoutTakingThePacket) {
  Rig rig([&](FaultOptions& f) { f.answerBadChecksum = 1; f.answerRemoteTimeout = 3; });
  rig.host->Send(CMD_FILE_SEND_START, "25,9,2,");
  EXPECT_EQ(rig.host->One().command, CMD_BAD_CHECKSUM);
  rig.host->Resend();  // now taken
  EXPECT_EQ(rig.host->One().command, CMD_FILE_CHUNK);
  rig.host->Send(CMD_FILE_CHUNK, std::vector<uint8_t>{4, 5});
  EXPECT_EQ(rig.host->One().command, CMD_REMOTE_TIMEOUT);
  rig.host->Resend();
  EXPECT_EQ(rig.host->One().command, CMD_FILE_CHUNK);
  rig.host->Send(CMD_FILE_SEND_END, "1");
  EXPECT_EQ(TextOf(rig.host->One()), "9");  // the chunk was stored once
  EXPECT_EQ(rig.WithFault("answer-bad-checksum"), 1u);
  EXPECT_EQ(rig.WithFault("answer-remote-timeout"), 1u);
}

TEST(SimFaults, NoiseComesBeforeEveryAnswerNeverHoldsAStartMarkAndFollowsTheSeed) {
  auto noiseOf = [](uint32_t seed) {
    Rig rig([&](FaultOptions& f) { f.seed = seed; f.noise = 64; });
    rig.host->Send(CMD_TEST, "100000");
    auto chunks = rig.engine->TakeAll();
    EXPECT_EQ(chunks.size(), 2u);
    EXPECT_EQ(chunks[0].info.kind, "noise");
    EXPECT_EQ(chunks[0].bytes.size(), 64u);
    for (uint8_t b : chunks[0].bytes) EXPECT_NE(b, START_MARK);
    EXPECT_EQ(chunks[1].info.kind, "frame");
    return chunks[0].bytes;
  };
  EXPECT_EQ(noiseOf(7), noiseOf(7));
  EXPECT_NE(noiseOf(7), noiseOf(8));
}

TEST(SimFaults, SplitWritesCutAnAnswerIntoTimedPiecesThatRejoin) {
  Rig rig([&](FaultOptions& f) { f.seed = 3; f.splitWrites = true; });
  rig.host->Send(CMD_TEST, "100000", 50);
  std::vector<OutChunk> all = rig.engine->TakeDue(50);
  ASSERT_FALSE(all.empty());
  for (auto& rest : rig.engine->TakeAll()) all.push_back(rest);
  ASSERT_GE(all.size(), 2u);
  std::vector<uint8_t> joined;
  uint64_t lastDue = 0;
  for (auto& c : all) {
    EXPECT_EQ(c.info.fault, "split-writes");
    EXPECT_GE(c.due, lastDue);
    lastDue = c.due;
    joined.insert(joined.end(), c.bytes.begin(), c.bytes.end());
  }
  EXPECT_GT(all.back().due, all.front().due);
  EXPECT_EQ(joined, EncodeFrame(CMD_TEST, 1, Bytes("100000").data(), 6));
}

TEST(SimFaults, StallSendsHalfAnAnswerAndTheResendIsWhole) {
  Rig rig([&](FaultOptions& f) { f.stallMidPacket = 1; });
  rig.host->Send(CMD_TEST, "100000");
  std::vector<uint8_t> half = rig.host->Wire();
  EXPECT_EQ(half.size(), 8u);
  EXPECT_EQ(rig.WithFault("stall-mid-packet"), 1u);
  rig.host->Resend();
  std::vector<uint8_t> whole = rig.host->Wire();
  ASSERT_EQ(whole.size(), 16u);
  EXPECT_TRUE(std::equal(half.begin(), half.end(), whole.begin()));
}

TEST(SimFaults, SilentNeverAnswersButStillTranscribes) {
  Rig rig([&](FaultOptions& f) { f.silent = true; });
  rig.host->Send(CMD_TEST, "100000");
  EXPECT_TRUE(rig.host->Wire().empty());
  ASSERT_EQ(rig.transcript.Size(), 1u);
  EXPECT_EQ(rig.transcript.Entries()[0].dir, "rx");
}

TEST(SimFaults, FileAndNlecErrorsAnswerTheStarts) {
  Rig rig([&](FaultOptions& f) { f.fileError = "Flash full"; f.nlecError = true; });
  WriteAll(rig.dir.File("settings.bin"), Bytes("abc"));
  WriteAll(rig.dir.File("nlec.txt"), Bytes("a\n"));
  rig.host->Send(CMD_FILE_SEND_START, "25,0,0,");
  ReceivedPacket p = rig.host->One();
  EXPECT_EQ(p.command, CMD_FILE_ERROR);
  EXPECT_EQ(TextOf(p), "Flash full");
  const std::pair<uint16_t, uint16_t> starts[] = {{CMD_FILE_GET_START, CMD_FILE_ERROR},
                                                  {CMD_NLEC_SEND_START, CMD_NLEC_ERROR},
                                                  {CMD_NLEC_GET_START, CMD_NLEC_ERROR}};
  for (auto [start, error] : starts) {
    rig.host->Send(start, start == CMD_FILE_GET_START ? "25" : "1");
    EXPECT_EQ(rig.host->One().command, error) << start;
  }
}

TEST(SimFaults, OversizeHeaderIsDroppedByTheFramingAndTheAnswerStillArrives) {
  Rig rig([&](FaultOptions& f) { f.oversizeHeader = true; });
  rig.host->Send(CMD_TEST, "100000");
  auto chunks = rig.engine->TakeAll();
  ASSERT_EQ(chunks.size(), 2u);
  EXPECT_EQ(chunks[0].info.fault, "oversize-header");
  ASSERT_EQ(chunks[0].bytes.size(), HEADER_SIZE);
  EXPECT_EQ(chunks[0].bytes[4] | (chunks[0].bytes[5] << 8), 600);
  FrameParser parser;
  std::vector<ReceivedPacket> got;
  for (auto& c : chunks)
    for (uint8_t b : c.bytes)
      if (auto packet = parser.Feed(b)) got.push_back(*packet);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].command, CMD_TEST);
  // Only once.
  rig.host->Send(CMD_TEST, "100000");
  EXPECT_EQ(rig.engine->TakeAll().size(), 1u);
}

TEST(SimFaults, WrongFinalChecksumIsOffByOneForFilesAndNlec) {
  Rig rig([&](FaultOptions& f) { f.wrongFinalChecksum = true; });
  rig.host->Send(CMD_FILE_SEND_START, "25,3,1,");
  rig.host->Send(CMD_FILE_CHUNK, std::vector<uint8_t>{3});
  rig.host->Wire();
  rig.host->Send(CMD_FILE_SEND_END, "1");
  EXPECT_EQ(TextOf(rig.host->One()), "4");
  rig.host->Send(CMD_NLEC_SEND_START, "65535");
  rig.host->Send(CMD_NLEC_LINE, std::vector<uint8_t>{0xFF, 0xFF});  // sum 510
  rig.host->Wire();
  rig.host->Send(CMD_NLEC_SEND_END, "1");
  EXPECT_EQ(TextOf(rig.host->One()), "511");
}

}  // namespace
}  // namespace quillon::sim::test
