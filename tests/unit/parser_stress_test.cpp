// The receive thread feeding blocks while the UI thread's timeout check
// keeps resetting the parser: no packet may come out torn.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "core/app/main_dialog.h"
#include "core/protocol/packet.h"
#include "core/protocol/parser.h"
#include "support/fakes.h"

namespace quillon {
namespace {

std::vector<uint8_t> Frame(uint16_t command, uint16_t id, const std::vector<uint8_t>& data) {
  return EncodeFrame(command, id, data.data(), static_cast<uint16_t>(data.size()));
}

TEST(ParserStress, ResetsFromTheTimerNeverTearAPacket) {
  test::Rig rig;
  rig.app.protocol.transferActive = 1;

  // Each packet's data holds a whole frame with a wrong checksum: a reset
  // in the middle of the outer packet would let the hunt find the inner
  // one and post it with checksums that differ.
  std::vector<uint8_t> decoy = Frame(3, 9, {'a', 'b'});
  decoy[2] ^= 0x55;
  std::vector<uint8_t> block;
  for (uint16_t id = 1; id <= 4; ++id) {
    std::vector<uint8_t> data(decoy);
    data.push_back(static_cast<uint8_t>(id));
    auto frame = Frame(3, id, data);
    block.insert(block.end(), frame.begin(), frame.end());
  }
  // Noise after each block leaves the link receiving, so the inter-byte
  // timeout fires between blocks as often as the scheduling allows.
  const uint8_t noise = 'x';

  constexpr int kBlocks = 3000;
  std::atomic<bool> done{false};
  std::thread receiver([&] {
    for (int i = 0; i < kBlocks; ++i) {
      RS232_ReceiveBytes(rig.app, block.data(), block.size());
      RS232_ReceiveBytes(rig.app, &noise, 1);
      std::this_thread::yield();  // give the check its turn between blocks
    }
    done = true;
  });

  auto check = [&] {
    rig.host.Advance(101);
    rig.app.protocol.transferActive = 1;
    RS232_CheckTimeouts(rig.app);
  };
  while (!done.load()) check();
  receiver.join();
  check();  // one last check after the final block: it is bound to fire

  auto lines = rig.host.LogLines();
  auto resets = std::count(lines.begin(), lines.end(), "WM_TIMER2 calling RS232_ResendPacket");
  EXPECT_GE(resets, 1);

  auto posts = rig.host.TakePosts();
  // Resets fall between blocks, and every block holds whole packets.
  EXPECT_EQ(posts.size(), static_cast<size_t>(kBlocks) * 4);
  for (auto& m : posts) {
    ASSERT_TRUE(m.packet);
    const ReceivedPacket& p = *m.packet;
    ASSERT_EQ(p.receivedChecksum, p.computedChecksum) << "torn packet id " << p.id;
    ASSERT_EQ(p.dataCount, static_cast<int32_t>(decoy.size() + 1));
    ASSERT_EQ(p.data[decoy.size()], p.id);
  }
}

}  // namespace
}  // namespace quillon
