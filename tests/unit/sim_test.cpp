// The simulated readout's own choices, where the end-to-end rows only see
// their effect: the ids of its packets, its answer to a resent packet, and
// the answer faults on the bootloader's erase.
#include <gtest/gtest.h>

#include "core/protocol/packet.h"
#include "sim/sim_engine.h"
#include "support/support.h"

namespace quillon::test {
namespace {

std::vector<uint8_t> Frame(uint16_t command, uint16_t id, const std::string& data) {
  return EncodeFrame(command, id, reinterpret_cast<const uint8_t*>(data.data()),
                     static_cast<uint16_t>(data.size()));
}

// The ids of the readout's answers to test packets 5, 9 and 9 again (a resend).
struct Ids {
  sim::AnswerIds ids;
  sim::ResendAnswer resend;
  std::vector<int> answered;
};

TEST(SimAnswers, IdsAndResendsAsEachReadoutMightNumberThem) {
  using sim::AnswerIds, sim::ResendAnswer;
  const Ids kRows[] = {
      {AnswerIds::COUNTER, ResendAnswer::COPY, {1, 2, 2}},
      {AnswerIds::COUNTER, ResendAnswer::NEW, {1, 2, 3}},
      {AnswerIds::ECHOED, ResendAnswer::COPY, {5, 9, 9}},
      {AnswerIds::CONSTANT, ResendAnswer::COPY, {1, 1, 1}},
  };
  for (const Ids& row : kRows) {
    sim::SimOptions options;
    options.answerIds = row.ids;
    options.resendAnswer = row.resend;
    sim::SimEngine engine(options, nullptr);
    std::vector<int> answered;
    uint64_t now = 10;
    for (int id : {5, 9, 9}) {
      const auto frame = Frame(19, static_cast<uint16_t>(id), "100000");
      engine.Receive(frame.data(), frame.size(), now += 600);
      for (const auto& chunk : engine.TakeAll()) answered.push_back(chunk.info.id);
    }
    EXPECT_EQ(answered, row.answered)
        << static_cast<int>(row.ids) << "/" << static_cast<int>(row.resend);
  }
}

// A resend counts from when the answer left the line (on a slow line it may
// wait seconds behind others); an unasked NOP follows the answer to the frame
// it came with, however the reads split that frame.
TEST(SimAnswers, ResendsCountFromTheLineAndTheNopFollowsTheAnswer) {
  sim::SimOptions options;
  options.sendNop = true;
  sim::SimEngine engine(options, nullptr);
  const auto frame = Frame(19, 9, "100000");
  engine.Receive(frame.data(), 3, 10);
  engine.Poll(10);
  engine.Receive(frame.data() + 3, frame.size() - 3, 11);
  engine.Poll(11);
  engine.Sent(5000);
  engine.Receive(frame.data(), frame.size(), 7000);
  std::vector<std::pair<int, int>> sent;  // cmd, id
  for (const auto& chunk : engine.TakeAll()) sent.emplace_back(chunk.info.cmd, chunk.info.id);
  EXPECT_EQ(sent, (std::vector<std::pair<int, int>>{{19, 1}, {23, 2}, {19, 1}}));
}

// The log stream's packets are recorded with the ids they carry (bytes 8-9).
TEST(SimAnswers, TheLogStreamRecordsTheIdsItSends) {
  for (auto ids : {sim::AnswerIds::COUNTER, sim::AnswerIds::CONSTANT}) {
    sim::SimOptions options;
    options.answerIds = ids;
    options.logRate = 1000;
    options.sendAfterMs = 0;
    sim::SimEngine engine(options, nullptr);
    engine.Start(0);
    engine.Poll(3);
    engine.Poll(6);
    const auto chunks = engine.TakeAll();
    ASSERT_EQ(chunks.size(), 4u);
    for (const auto& chunk : chunks) EXPECT_EQ(chunk.info.id, chunk.bytes[8] | chunk.bytes[9] << 8);
  }
}

// The erase command 07 06, then silence: what the readout answers under each fault.
struct Erase {
  const char* name;
  sim::FaultOptions faults;
  std::vector<std::vector<uint8_t>> chunks;
};

TEST(SimBoot, TheAnswerFaultsShapeTheEraseAnswerToo) {
  auto faults = [](auto set) {
    sim::FaultOptions f;
    set(f);
    return f;
  };
  const Erase kRows[] = {
      {"none", {}, {{0x07, 0x06}}},
      {"silent", faults([](auto& f) { f.silent = true; }), {}},
      {"drop", faults([](auto& f) { f.dropNth = 1; }), {}},
      {"corrupt", faults([](auto& f) { f.corruptChecksum = 1; }), {{0x07, 0x5C}}},
      {"stall", faults([](auto& f) { f.stallMidPacket = 1; }), {{0x07}}},
      {"split", faults([](auto& f) { f.splitWrites = true; }), {{0x07}, {0x06}}},
      {"noise", faults([](auto& f) { f.noise = 3; }), {{0, 0, 0}, {0x07, 0x06}}},
  };
  for (const Erase& row : kRows) {
    SCOPED_TRACE(row.name);
    sim::SimOptions options;
    options.mode = sim::SimMode::BOOT;
    options.faults = row.faults;
    sim::SimEngine engine(options, nullptr);
    const uint8_t erase[] = {0x07, 0x06};
    engine.Receive(erase, 2, 10);
    engine.Poll(10 + options.eraseQuietMs);
    std::vector<std::vector<uint8_t>> chunks;
    for (auto& chunk : engine.TakeAll()) {
      if (chunk.info.kind == "noise") chunk.bytes.assign(chunk.bytes.size(), 0);  // random bytes
      chunks.push_back(chunk.bytes);
    }
    EXPECT_EQ(chunks, row.chunks);
    EXPECT_EQ(engine.Erases(), 1);
  }
}

}  // namespace
}  // namespace quillon::test
