// How the CLI words progress and results, and which exit code a result gets.
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <fstream>

#include "cli/outcome.h"
#include "cli/progress.h"

namespace quillon::cli {
namespace {

TEST(CliProgress, BarShowsShareAmountsRateAndTimeLeft) {
  // 2.38 MB of 4.76 MB in 100 s: 23.8 kB/s, 100 s to go.
  std::string line = FormatProgressBar(2379766, 4759532, "bytes", 100.0, 10);
  EXPECT_EQ(line, "[=====>    ]  50%  2.4 MB/4.8 MB  23.8 kB/s  1:40 left");

  // Nothing measured yet: no rate and no estimate.
  EXPECT_EQ(FormatProgressBar(0, 30356, "bytes", 0.0, 4), "[>   ]   0%  0 B/30.4 kB");

  // The whole: a full bar and no time left.
  EXPECT_EQ(FormatProgressBar(120, 120, "lines", 4.0, 4), "[====] 100%  120/120 lines  30 lines/s");

  // An empty file has nothing to divide by.
  EXPECT_EQ(FormatProgressBar(0, 0, "bytes", 3.0, 2), "[> ]   0%  0 B/0 B");
  // A strip that overshoots its range (the core may advance past a cut-off maximum).
  EXPECT_NE(FormatProgressBar(90, 60, "characters", 1.0, 4).find("100%"), std::string::npos);

  EXPECT_EQ(HumanBytes(999), "999 B");
  EXPECT_EQ(HumanDuration(59.4), "0:59");
  EXPECT_EQ(HumanDuration(3723), "1:02:03");
  EXPECT_EQ(HumanDuration(-5), "0:00");
}

TEST(CliProgress, PlainLinesComeOncePerTenth) {
  EXPECT_EQ(FormatProgressLine(1906, 4759, "bytes"), "progress: 40% (1906 of 4759 bytes)");

  TenthTracker tracker;
  std::vector<int> printed;
  for (uint64_t done = 0; done <= 1000; done += 7) {
    if (int tenth = tracker.Update(done, 1000)) printed.push_back(tenth);
  }
  // 994 of 1000 is short of the whole: no 100 % line for a transfer that stops short.
  EXPECT_EQ(printed, (std::vector<int>{1, 2, 3, 4, 5, 6, 7, 8, 9}));
  EXPECT_EQ(tracker.Update(1000, 1000), 10);
  EXPECT_EQ(tracker.Update(1000, 1000), 0);

  // A jump over several tenths gives one line; going back gives none.
  tracker.Reset();
  EXPECT_EQ(tracker.Update(350, 1000), 3);
  EXPECT_EQ(tracker.Update(200, 1000), 0);
  EXPECT_EQ(tracker.Update(0, 0), 0);
}

TEST(CliOutcome, OnlyTheSuccessTextsCountAsSuccess) {
  for (const char* text : {"Transfer of settings sucessfully completed.",
                           "Transfer of program sucessfully completed.",
                           "Bitmap Transfer sucessfully completed.",
                           "Binary Transfer sucessfully completed.", "Transfer complete.",
                           "NLEC Transfer completed in 0 seconds.",
                           "NLEC Transfer completed in 59 seconds."}) {
    EXPECT_EQ(ClassifyResultText(text), ResultKind::SUCCESS) << text;
  }
  for (const char* text : {"Settings transfer failure.", "Program transfer failure.",
                           "Bitmap transfer failure.", "Binary Test transfer failure.",
                           "Transfer error.", "Retry Error.",
                           "Binary Test transfer failure. Retry count exceeded.",
                           "Nlec transfer failure. Retry count exceeded.", "Nlec Checksum Failure.",
                           "NLEC Transfer error.", "Flash erase successful.",
                           // a near miss is no success
                           "Transfer of settings successfully completed.", ""}) {
    EXPECT_EQ(ClassifyResultText(text), ResultKind::FAILURE) << text;
  }
}

TEST(CliOutcome, OpenErrorsAndLocalFilesAreDescribedBeforeStarting) {
  EXPECT_NE(DescribeOpenError(EWOULDBLOCK).find("busy"), std::string::npos);
  EXPECT_FALSE(DescribeOpenError(EIO).empty());
  EXPECT_TRUE(DescribeOpenError(0).empty());

  namespace fs = std::filesystem;
  fs::path dir = fs::temp_directory_path() / ("quillon-files-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  fs::path file = dir / "settings.bin";
  std::ofstream(file) << "abc";

  EXPECT_EQ(CheckReadableFile(file.string()), "");
  EXPECT_NE(CheckReadableFile((dir / "missing.bin").string()).find("No such file"), std::string::npos);
  EXPECT_NE(CheckReadableFile(dir.string()).find("directory"), std::string::npos);

  EXPECT_EQ(CheckWritableFile(file.string()), "");                  // exists: will be emptied
  EXPECT_EQ(CheckWritableFile((dir / "new.bin").string()), "");     // new in a writable folder
  EXPECT_NE(CheckWritableFile((dir / "no" / "new.bin").string()), "");  // folder missing
  EXPECT_NE(CheckWritableFile(dir.string()).find("directory"), std::string::npos);
  EXPECT_NE(CheckWritableFile((file / "x").string()), "");          // a file is no folder
  fs::remove_all(dir);
}

}  // namespace
}  // namespace quillon::cli
