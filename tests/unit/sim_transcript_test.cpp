// The transcript's JSON lines, as the harness reads them back from a file.
#include <gtest/gtest.h>

#include <fstream>

#include "sim/transcript.h"
#include "sim_test_support.h"

namespace quillon::sim::test {
namespace {

TEST(SimTranscript, EntriesSurviveTheFileRoundTrip) {
  TempDir dir;
  Transcript transcript;
  ASSERT_TRUE(transcript.OpenFile(dir.File("t.jsonl")));
  TranscriptEntry frame{12, "rx", "frame", 19, 1, 6, "7E7E3B01060013000100313030303030", "", true};
  TranscriptEntry bad{40, "tx", "frame", 3, 65535, 0, "7E7E", "corrupt-checksum", false};
  TranscriptEntry raw{41, "tx", "noise", -1, -1, -1, "00FF", "noise", true};
  for (const auto& e : {frame, bad, raw}) transcript.Add(e);

  std::ifstream in(dir.File("t.jsonl"));
  std::string line;
  std::vector<TranscriptEntry> back;
  while (std::getline(in, line)) {
    TranscriptEntry e;
    ASSERT_TRUE(FromJson(line, &e)) << line;
    back.push_back(e);
  }
  ASSERT_EQ(back.size(), 3u);
  EXPECT_EQ(ToJson(back[0]), ToJson(frame));
  EXPECT_EQ(ToJson(back[1]), ToJson(bad));
  EXPECT_EQ(ToJson(back[2]), ToJson(raw));
  EXPECT_FALSE(back[1].checksumOk);
  EXPECT_EQ(back[2].cmd, -1);
  EXPECT_EQ(ToJson(frame),
            "{\"t\":12,\"dir\":\"rx\",\"kind\":\"frame\",\"cmd\":19,\"id\":1,\"len\":6,"
            "\"hex\":\"7E7E3B01060013000100313030303030\"}");
  EXPECT_EQ(FromHex("7e7E00ff"), (std::vector<uint8_t>{0x7E, 0x7E, 0x00, 0xFF}));
}

}  // namespace
}  // namespace quillon::sim::test
