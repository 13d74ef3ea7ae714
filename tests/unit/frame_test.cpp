#include <gtest/gtest.h>

#include "core/protocol/packet.h"
#include "core/protocol/parser.h"
#include "support/fakes.h"

namespace quillon {
namespace {

TEST(Frame, TestCommandFrameIsByteExactAndParsesBack) {
  const std::string data = "100000";
  auto frame = EncodeFrame(19, 1, reinterpret_cast<const uint8_t*>(data.data()), 6);
  std::vector<uint8_t> expected = {0x7E, 0x7E, 0x3B, 0x01, 0x06, 0x00, 0x13, 0x00, 0x01, 0x00,
                                   '1',  '0',  '0',  '0',  '0',  '0'};
  EXPECT_EQ(frame, expected);
  FrameParser parser;
  std::unique_ptr<ReceivedPacket> got;
  for (uint8_t b : frame)
    if (auto p = parser.Feed(b)) got = std::move(p);
  ASSERT_TRUE(got);
  EXPECT_EQ(got->receivedChecksum, 315);
  EXPECT_EQ(got->computedChecksum, 315);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(got->data), 6), data);
}

}  // namespace
}  // namespace quillon
