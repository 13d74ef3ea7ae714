#include <gtest/gtest.h>

#include "core/protocol/packet.h"
#include "core/protocol/parser.h"
#include "support/fakes.h"

namespace quillon {
namespace {

TEST(Frame, TestCommandFrameIsByteExact) {
  const std::string data = "100000";
  auto frame = EncodeFrame(19, 1, reinterpret_cast<const uint8_t*>(data.data()), 6);
  std::vector<uint8_t> expected = {0x7E, 0x7E, 0x3B, 0x01, 0x06, 0x00, 0x13, 0x00, 0x01, 0x00,
                                   '1',  '0',  '0',  '0',  '0',  '0'};
  EXPECT_EQ(frame, expected);
}

TEST(Frame, ParserRoundTripsAnEncodedFrameSplitAnywhere) {
  const std::string data = "hello";
  auto frame = EncodeFrame(3, 7, reinterpret_cast<const uint8_t*>(data.data()), 5);
  FrameParser parser;
  std::unique_ptr<ReceivedPacket> got;
  for (uint8_t b : frame) {
    auto p = parser.Feed(b);
    if (p) got = std::move(p);
  }
  ASSERT_TRUE(got);
  EXPECT_EQ(got->receivedChecksum, 547);
  EXPECT_EQ(got->computedChecksum, 547);
  EXPECT_EQ(got->dataCount, 5);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(got->data), 5), "hello");
}

TEST(Frame, OversizedLengthIsNeverPosted) {
  std::vector<uint8_t> header = {0x7E, 0x7E, 0, 0, 0x01, 0x02, 3, 0, 1, 0};  // length 513
  FrameParser parser;
  for (uint8_t b : header) EXPECT_EQ(parser.Feed(b), nullptr);
  EXPECT_EQ(parser.State(), RX_HUNT);
}

}  // namespace
}  // namespace quillon
