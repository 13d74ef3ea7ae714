// The event log: formatting, the system's error text, and export.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>

#include "core/app/event_log.h"
#include "support/fakes.h"

namespace quillon {
namespace {

std::string Contents(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), {});
}

TEST(EventLog, ErrorCodeAddsTheSystemTextAndLongLinesAreCut) {
  test::Rig rig;
  LogLine(rig.app, 0, "Device Com%d opened successfully.", 3);
  EXPECT_EQ(rig.app.log.Lines(), std::vector<std::string>{"Device Com3 opened successfully."});
  LogLine(rig.app, 2, "Unable to open com port.");
  EXPECT_EQ(rig.app.log.Lines(),
            (std::vector<std::string>{"Device Com3 opened successfully.",
                                      "Unable to open com port.", "system error 2"}));
  EXPECT_EQ(rig.host.LogLines(), rig.app.log.Lines());  // the host is told of each line

  LogLine(rig.app, 0, "%s", std::string(1500, 'x').c_str());
  EXPECT_EQ(rig.app.log.Lines().back(), std::string(LOG_LINE_MAX, 'x'));

  ClearLog(rig.app);
  EXPECT_EQ(rig.app.log.Count(), 0u);
  EXPECT_TRUE(rig.host.LogLines().empty());
}

TEST(EventLog, ExportEndsEveryLineWithCrLfAndKeepsPercentSigns) {
  test::Rig rig;
  std::string path;
  ASSERT_TRUE(ExportLog(rig.app, false, &path));
  EXPECT_EQ(Contents(path), "");  // an empty log gives an empty file, opened all the same
  EXPECT_EQ(rig.host.viewed, std::vector<std::string>{path});

  AddLogText(rig.app, "RAW_DATA: 100%");
  LogLine(rig.app, 0, "second");
  AddLogText(rig.app, "third");
  ASSERT_TRUE(ExportLog(rig.app, false, &path));
  EXPECT_EQ(Contents(path), "RAW_DATA: 100%\r\nsecond\r\nthird\r\n");

  ASSERT_TRUE(ExportLog(rig.app, true, &path));  // nothing selected
  EXPECT_EQ(Contents(path), "");
  rig.host.selectedLines = {0, 2};
  ASSERT_TRUE(ExportLog(rig.app, true, &path));
  EXPECT_EQ(Contents(path), "RAW_DATA: 100%\r\nthird\r\n");

  rig.host.tempFileFails = true;  // no file can be made: a beep, nothing opened
  EXPECT_FALSE(ExportLog(rig.app, false, &path));
  EXPECT_EQ(rig.host.Beeps(), 1);
  EXPECT_EQ(rig.host.viewed.size(), 4u);
  for (const auto& file : rig.host.viewed) std::remove(file.c_str());
}

}  // namespace
}  // namespace quillon
