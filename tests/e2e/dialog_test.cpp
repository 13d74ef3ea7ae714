// The dialog layer in-process: an App on a recording host with the real
// POSIX backend, against the simulated readout. The test runs the dialog's
// loop itself: posted messages, the 100 ms timer and the repaints.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <sstream>
#include <utility>

#include "core/app/guide.h"
#include "core/app/main_dialog.h"
#include "core/app/port_selection.h"
#include "platform/posix/posix_serial.h"
#include "resources/embedded_images.h"
#include "sim/line_model.h"
#include "support/support.h"

namespace quillon::test {
namespace {

// A bridge whose driver turns down one rate change.
class RateRefusingDevice : public sim::LineModelDevice {
 public:
  RateRefusingDevice(std::shared_ptr<SerialDevice> inner, uint32_t refused)
      : LineModelDevice(std::move(inner)), refused_(refused) {}
  SerialResult SetBaudRate(uint32_t baud) override {
    if (baud == refused_) return {SerialStatus::FAILED, EINVAL};
    return LineModelDevice::SetBaudRate(baud);
  }

 private:
  uint32_t refused_;
};

// Port 1 is the simulator's pty; with model set, the device is the real one
// inside a modelled UART (115200 baud, a 4 KiB transmit queue).
class Ports : public SerialFactory {
 public:
  std::shared_ptr<SerialDevice> Create() override {
    if (refusedRate) return std::make_shared<RateRefusingDevice>(posix_.Create(), refusedRate);
    if (!model) return posix_.Create();
    return last = std::make_shared<sim::LineModelDevice>(posix_.Create());
  }
  std::string PortName(int number) override { return number == 1 ? path : posix_.PortName(number); }
  std::string path;
  bool model = false;
  uint32_t refusedRate = 0;  // nonzero: the driver turns down a change to this rate
  std::shared_ptr<sim::LineModelDevice> last;

 private:
  posix::PosixSerialFactory posix_;
};

struct Dialog {
  TempDir dir;
  Sim sim;
  TestHost host;
  Ports ports;
  EmbeddedImages images;
  std::unique_ptr<App> app;

  Dialog(const std::string& simArgs, bool model = false, bool fakeClock = false)
      : sim(simArgs, dir.path), host(fakeClock) {
    ports.path = sim.Path();
    ports.model = model;
    app = std::make_unique<App>(host, ports, &images);
    app->portSelection = {PORT_MODE_COMMAND_LINE, 1};
    OnInitDialog(*app);
    WriteFile(dir / "in.bin", RandomBytes(300, 1));
    WriteFile(dir / "table.txt", "1.0 0.5\r\n2.0 1.5\r\n");
    WriteFile(dir / "prog.bin", RandomBytes(1000, 2));
    WriteFile(dir / "listing.txt", "0x41, 0x42,\r\n0x43\r\n");
    WriteFile(dir / "store/PROG1", RandomBytes(700, 4));
  }
  void Paint() {
    if (std::exchange(host.invalidated, false)) RenderGuidePage(*app);
  }
  void Press(int id) {
    OnCommand(*app, id);
    Paint();
  }
  bool Run(const std::function<bool()>& done, double seconds) {
    return host.Loop(
        done, seconds,
        [&](UiMessage message) {
          app->engine.Dispatch(std::move(message));
          Paint();
        },
        [&] {
          OnTimer(*app);
          Paint();
        });
  }
  std::string Text(int id) { return host.controls[id].text; }
};

bool Logged(const std::vector<std::string>& lines, const std::string& part) {
  return std::any_of(lines.begin(), lines.end(),
                     [&](const auto& line) { return line.find(part) != line.npos; });
}

constexpr const char* GONE = "the readout's port went away (unplugged?)";

struct Case {
  int press[2];  // the commands, in order (0: none)
  const char* sim;
  const char* file;   // the file chooser's answer, in the working directory
  const char* box;    // the last message box; empty: none
  const char* lines;  // parts of event log lines, '|'-separated
};

const Case kCases[] = {
    {{IDC_SEND_SETTINGS},
     "",
     "in.bin",
     "Transfer of settings sucessfully completed.",
     "Sending Settings..."},
    {{IDC_SEND_SETTINGS}, "--wrong-final-checksum", "in.bin", "Settings transfer failure.", ""},
    {{IDC_SEND_BITMAP},
     "",
     "listing.txt",
     "Bitmap Transfer sucessfully completed.",
     "Sending Bitmap File..."},
    {{IDC_SEND_PROGRAM}, "--hangup-after 300", "prog.bin", "Program transfer failure.", GONE},
    {{IDC_RECEIVE_SETTINGS},
     "--silent",
     "out.bin",
     "Binary Test transfer failure. Retry count exceeded.",
     "WM_TIMER1 calling RS232_ResendPacket"},
    {{IDC_RECEIVE_SETTINGS},
     "--file-error \"File not found\"",
     "out.bin",
     "Settings transfer failure.",
     "Settings Transfer error.|Settings transfer halted.|File not found"},
    {{IDC_RECEIVE_PROGRAM},
     "",
     "out.bin",
     "Transfer of program sucessfully completed.",
     "Receiving Program File..."},
    {{IDC_NLEC_SEND}, "--silent", "table.txt", "Nlec transfer failure. Retry count exceeded.", ""},
    {{IDC_NLEC_SEND}, "", "table.txt", "NLEC Transfer completed in 0 seconds.", "Sending NLEC..."},
    {{IDC_NLEC_SEND}, "--wrong-final-checksum", "table.txt", "Nlec Checksum Failure.", ""},
    // The readout's NLEC error stops the session through the NLEC button.
    {{IDC_NLEC_GET}, "--nlec-error", "out.txt", "", "NLEC Transfer error.|Nlec transfer halted."},
    // The readout's erase result comes as a packet of its own, unasked.
    {{IDC_TEST}, "--send-erase-result 0", "", "Flash erase successful.", ""},
    {{IDC_TEST}, "--send-erase-result 00", "", "Flash erase failure: 00", ""},
    // A NOP from the readout is taken silently; the test's answer is logged.
    {{IDC_TEST}, "--send-nop", "", "", "ERROR Unknown Command:  Id=1, Cmd=19|LAST COMMAND"},
    {{IDC_SEND_BITMAP},
     "--file-error Full",
     "listing.txt",
     "Bitmap transfer failure.",
     "Bitmap Transfer error.|Bitmap transfer halted.|Full"},
    {{IDC_RECEIVE_PROGRAM},
     "--file-error \"File not found\"",
     "out.bin",
     "Program transfer failure.",
     "Program Transfer error.|Program transfer halted."},
    {{IDC_RAW_LOGGING, IDC_TEST},
     "",
     "",
     "",
     "RAW_DATA: ~~|ERROR Unknown Command:  Id=1, Cmd=19|LAST COMMAND"},
    {{IDC_FLASH_ERASE}, "--mode boot", "", "", "Done erasing user storage."},
    {{IDC_FLASH_ERASE},
     "--mode boot --erase-delay 60000 --hangup-after 2",
     "",
     "The flash erase did not complete.  The readout's port went away (unplugged?).",
     GONE},
    {{IDC_IMAGE_DOWNLOAD},
     "--mode boot",
     "",
     "",
     "Loading new software version ... (~4 min.)|Done loading."},
    {{IDC_BOOTLOADER_DOWNLOAD},
     "--mode boot --hangup-after 1000",
     "",
     "The download did not complete.  The readout's port went away (unplugged?).  Check the cable "
     "and the "
     "readout, then try again.",
     "Loading new bootloader ... "},
};

std::ostream& operator<<(std::ostream& os, const Case& c) {
  return os << c.press[0] << " / sim " << c.sim;
}

class DialogTable : public ::testing::TestWithParam<Case> {};

TEST_P(DialogTable, ShowsTheResultAsTheDialogDoes) {
  const Case& c = GetParam();
  Dialog d(c.sim);
  d.host.fileAnswers.push_back(d.dir / c.file);
  d.host.programName = "PROG1";
  const int start = c.press[1] ? c.press[1] : c.press[0];
  d.host.controls[start].text = "Start";
  OpenDevice(*d.app, 1);
  ASSERT_TRUE(d.app->engine.IsOpen());
  for (int id : c.press) {
    if (id != 0) d.Press(id);
  }
  std::vector<std::string> wanted;
  std::stringstream needles(c.lines);
  for (std::string line; std::getline(needles, line, '|');) wanted.push_back(line);
  // The boxes that tell, not those that ask (answered Yes).
  auto told = [&] {
    auto boxes = d.host.Boxes();
    boxes.erase(std::remove_if(boxes.begin(), boxes.end(), [](auto& b) { return b.back() == '?'; }),
                boxes.end());
    return boxes;
  };
  auto done = [&] {
    auto lines = d.host.Lines();
    bool logged =
        std::all_of(wanted.begin(), wanted.end(), [&](auto& w) { return Logged(lines, w); });
    bool ended =
        *c.box ? !told().empty() : d.app->engine.BootIdle() && !d.app->engine.TransferActive();
    return logged && ended;
  };
  ASSERT_TRUE(d.Run(done, 15)) << ::testing::PrintToString(d.host.Lines());
  auto boxes = told();
  if (*c.box == '\0') {
    EXPECT_TRUE(boxes.empty()) << boxes.back();
  } else {
    EXPECT_EQ(boxes.back(), c.box);
  }
  // The strip is gone, and the start button has its caption again.
  EXPECT_FALSE(d.host.stripShown);
  EXPECT_NE(d.Text(start), "Stop Transfer");
}

INSTANTIATE_TEST_SUITE_P(Commands, DialogTable, ::testing::ValuesIn(kCases), [](const auto& row) {
  return RowName(row.index, std::to_string(row.param.press[0]) + " " + row.param.sim);
});

// The readout's NLEC error ends the session in the engine, reported once:
// the dialog is idle as soon as the error is handled, with one beep for it.
// Its file error, while the transfer runs, beeps once more than a report.
TEST(DialogErrors, TheReadoutsErrorsEndTheSessionOnce) {
  Dialog d("--nlec-error --file-error Full");
  d.host.fileAnswers = {d.dir / "out.txt", d.dir / "out.bin"};
  OpenDevice(*d.app, 1);
  d.Press(IDC_NLEC_GET);
  int beeps = d.host.beeps;
  ASSERT_TRUE(d.Run([&] { return Logged(d.host.Lines(), "NLEC Transfer error."); }, 15));
  EXPECT_FALSE(d.app->engine.TransferActive());
  EXPECT_EQ(d.host.beeps - beeps, 1);
  EXPECT_EQ(d.Text(IDC_NLEC_GET), "Get NLEC");
  const auto lines = d.host.Lines();
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "Nlec transfer halted."), 1);
  d.Press(IDC_RECEIVE_SETTINGS);
  beeps = d.host.beeps;
  ASSERT_TRUE(d.Run([&] { return !d.host.Boxes().empty(); }, 15));
  EXPECT_EQ(d.host.Boxes().back(), "Settings transfer failure.");
  EXPECT_EQ(d.host.beeps - beeps, 3);
}

// The status line of a transfer 75.4 s old after three resends (a fake clock).
TEST(DialogStatus, ElapsedTimeAndRetryCountOfARunningTransfer) {
  Dialog d("--silent", false, true);
  d.host.fileAnswers.push_back(d.dir / "table.txt");
  OpenDevice(*d.app, 1);
  d.Press(IDC_NLEC_SEND);
  ASSERT_TRUE(d.app->engine.TransferActive());
  const uint32_t start = d.host.tick;
  for (uint32_t i = 1; i <= 3; ++i) {
    d.host.tick = start + 501 * i;
    OnTimer(*d.app);
  }
  d.host.tick = start + 75400;
  OnTimer(*d.app);
  EXPECT_EQ(d.Text(IDC_STATUS_LINE), "Elapsed Time: 75   Retry Count: 3  ");
}

// The guide: a port that cannot be opened sends the user back to page 1;
// with the right port the bootloader goes down a modelled UART line, whose
// queue is drained before the rate changes, and page 6 shows the count.
TEST(DialogGuide, FromPageOneToSixWithTheBootloaderAndNothingGarbled) {
  Dialog d("--mode boot", true);
  const std::string image = ReadFile(QUILLON_IMAGES "ZYN_BOOTLOADER.bin");
  // With no image, or no port open, the service buttons say so instead of starting.
  d.app->images = nullptr;
  d.Press(IDC_IMAGE_DOWNLOAD);
  d.app->images = &d.images;
  d.Press(IDC_FLASH_ERASE);
  d.Press(IDC_BOOTLOADER_DOWNLOAD);
  EXPECT_EQ(d.host.Boxes(),
            std::vector<std::string>(
                {"Internal Error 001.  Unable to extract software for loading to unit.",
                 "Are you sure you want to erase the flash?",
                 "No port is open.  Open the port before erasing the flash.",
                 "Are you sure you want to download the bootloader code?",
                 "No port is open.  Open the port before downloading."}));
  d.app->portSelection.number = 7;
  for (int id : {IDC_NEXT, IDC_NEXT, IDC_NEXT}) d.Press(id);
  EXPECT_EQ(d.app->guide.page, PAGE_CABLE);
  EXPECT_EQ(d.Text(IDC_STEP_TITLE), "STEP 1 - Connecting the USB Cable");
  ASSERT_EQ(d.host.Boxes().size(), 6u);
  EXPECT_EQ(d.host.Boxes().back(),
            "The USB port (7) connection could not be opened.  Please check that all steps are "
            "followed completely.");

  d.app->portSelection.number = 1;
  // Back on pages 2 and 4 (on page 3 Back is "Bootloader", Next "Software").
  const std::pair<int, GuidePage> kSteps[] = {
      {IDC_NEXT, PAGE_READYING}, {IDC_BACK, PAGE_CABLE},        {IDC_NEXT, PAGE_READYING},
      {IDC_NEXT, PAGE_CHOICE},   {IDC_NEXT, PAGE_INSTRUCTIONS}, {IDC_BACK, PAGE_CHOICE},
      {IDC_BACK, PAGE_INSTRUCTIONS}};
  for (const auto& [id, page] : kSteps) {
    d.Press(id);
    EXPECT_EQ(d.app->guide.page, page) << id;
  }
  EXPECT_EQ(d.Text(IDC_STEP_TITLE), "STEP 4 - Downloading the Bootloader");
  d.Press(IDC_NEXT);
  EXPECT_EQ(d.app->guide.page, PAGE_IN_PROGRESS);
  ASSERT_TRUE(d.Run([&] { return d.app->guide.page == PAGE_COMPLETE; }, 20));
  EXPECT_EQ(d.Text(IDC_STEP_TITLE), "Download Complete");
  EXPECT_EQ(d.Text(IDC_UPPER_TEXT),
            "Please verify that the number of data bytes transmitted (" +
                std::to_string(image.size()) +
                ") matches the number of bytes received by the Quillon.  The "
                "Quillon shows the number in parenthesis at the bottom of the display.");
  EXPECT_EQ(d.Text(IDC_LOWER_TEXT),
            "The bootloader download will take effect on the next power cycle.");
  EXPECT_EQ(d.Text(IDC_PROMPT), "Press BACK if you want to load the software.");
  EXPECT_EQ(d.host.Boxes().size(), 6u);
  ASSERT_TRUE(d.ports.last);
  EXPECT_EQ(d.ports.last->GarbledBytes(), 0u);
  EXPECT_TRUE(WaitFor([&] { return ReadFile(d.dir / "image.bin") == image; }, 5));
  // Back on page 6 closes the port and offers the choice again.
  d.Press(IDC_BACK);
  EXPECT_EQ(d.app->guide.page, PAGE_CHOICE);
  EXPECT_FALSE(d.app->engine.IsOpen());
  // Cancel (Escape) ends the dialog; its destruction stops the engine.
  d.Press(IDC_CANCEL);
  OnDestroy(*d.app);
}

// A placeholder image goes out only on Yes (No is the default and keeps
// page 4); closing while the download runs asks first, and No leaves it
// running to the end, the image whole; once idle, Close ends at once.
TEST(DialogGuide, PlaceholderAndCloseQuestionsDefaultToNoAndLeaveTheDownloadWhole) {
  Dialog d("--mode boot", true);
  const std::string image = ReadFile(QUILLON_IMAGES "ZYN_BOOTLOADER.bin");
  d.app->isPlaceholder = [](const std::string&) { return true; };
  RenderGuidePage(*d.app);
  EXPECT_NE(d.Text(IDC_UPPER_TEXT).find("\n\n(placeholder images)"), std::string::npos);
  for (int id : {IDC_NEXT, IDC_NEXT, IDC_BACK}) d.Press(id);
  const unsigned question = MB_STYLE_YESNO | MB_STYLE_DEFBUTTON2;
  d.host.answers = {ANSWER_NO};
  d.Press(IDC_NEXT);
  EXPECT_EQ(d.app->guide.page, PAGE_INSTRUCTIONS);
  EXPECT_TRUE(d.app->engine.BootIdle());
  EXPECT_EQ(d.host.lastStyle, MB_STYLE_ICONWARNING | question);
  EXPECT_NE(d.host.Boxes().back().find("placeholder bootloader image, not the readout's firmware"),
            std::string::npos);
  d.Press(IDC_NEXT);  // Yes
  EXPECT_EQ(d.app->guide.page, PAGE_IN_PROGRESS);
  d.host.answers = {ANSWER_NO, ANSWER_NO};
  d.Press(IDC_CLOSE);
  d.Press(IDC_CANCEL);
  EXPECT_EQ(d.host.ended, -1);
  EXPECT_EQ(d.host.lastStyle & question, question);
  EXPECT_EQ(d.host.Boxes().back().rfind("The download is not finished.", 0), 0u);
  ASSERT_TRUE(d.Run([&] { return d.app->guide.page == PAGE_COMPLETE; }, 20));
  EXPECT_TRUE(WaitFor([&] { return ReadFile(d.dir / "image.bin") == image; }, 5));
  const size_t boxes = d.host.Boxes().size();
  d.Press(IDC_CLOSE);
  EXPECT_EQ(d.host.ended, 0);
  EXPECT_EQ(d.host.Boxes().size(), boxes);
}

// An erase ends on page 6 in its own words (done, or failed with the
// reason), both slots painted; Next on page 4 with the port closed opens
// it again, or warns and stays when it cannot.
TEST(DialogGuide, AnEraseEndsOnPageSixInItsOwnWordsAndNextReopensTheClosedPort) {
  for (const char* sim : {"--mode boot", "--mode boot --erase-delay 60000 --hangup-after 2"}) {
    SCOPED_TRACE(sim);
    const bool fails = std::string(sim).find("hangup") != std::string::npos;
    Dialog d(sim);
    for (int id : {IDC_NEXT, IDC_NEXT, IDC_NEXT}) d.Press(id);
    d.host.answers = {ANSWER_YES, ANSWER_NO};  // erase? yes; close meanwhile? no
    d.Press(IDC_FLASH_ERASE);
    d.Press(IDC_CLOSE);
    EXPECT_EQ(d.host.Boxes().back().rfind("The flash erase is not finished.", 0), 0u);
    ASSERT_TRUE(d.Run([&] { return d.app->guide.page == PAGE_COMPLETE; }, 10));
    EXPECT_EQ(d.host.ended, -1);
    EXPECT_EQ(d.Text(IDC_STEP_TITLE), fails ? "Erase Failed" : "Erase Complete");
    EXPECT_EQ(d.Text(IDC_UPPER_TEXT),
              fails ? "The user storage on the Quillon's flash was not erased.  The readout's "
                      "port went away (unplugged?)."
                    : "The user storage on the Quillon's flash has been erased.");
    EXPECT_EQ(d.host.slots, (std::map<int, int>{{1, 142}, {2, NO_PICTURE}}));
  }
  Dialog d("--mode boot");
  for (int id : {IDC_NEXT, IDC_NEXT, IDC_BACK}) d.Press(id);
  CloseDevice(*d.app);
  d.app->portSelection.number = 7;
  d.Press(IDC_NEXT);
  EXPECT_EQ(d.host.Boxes().back().rfind("The USB port (7) connection could not be opened.", 0), 0u);
  EXPECT_EQ(d.app->guide.page, PAGE_INSTRUCTIONS);
  d.app->portSelection.number = 1;
  d.Press(IDC_NEXT);
  EXPECT_EQ(d.app->guide.page, PAGE_IN_PROGRESS);
  ASSERT_TRUE(d.Run([&] { return d.app->guide.page == PAGE_COMPLETE; }, 20));
  EXPECT_EQ(d.Text(IDC_STEP_TITLE), "Download Complete");
}

// A rate the port turns down: the download and the erase are not started
// and the user is told why; a failed return to 38400 after a whole download
// is logged and the download still counts as done.
TEST(DialogGuide, APortThatTurnsDownTheRateIsToldAndNothingStarts) {
  const std::string refused = "The port could not be set to 115200 baud (error 22).";
  Dialog d("--mode boot");
  d.ports.refusedRate = 115200;
  CloseDevice(*d.app);
  for (int id : {IDC_NEXT, IDC_NEXT, IDC_NEXT}) d.Press(id);
  ASSERT_EQ(d.app->guide.page, PAGE_INSTRUCTIONS);
  d.Press(IDC_NEXT);
  EXPECT_EQ(d.app->guide.page, PAGE_INSTRUCTIONS);
  EXPECT_EQ(d.host.Boxes(), std::vector<std::string>{refused});
  d.host.answers = {ANSWER_YES};
  d.Press(IDC_FLASH_ERASE);
  ASSERT_EQ(d.host.Boxes().size(), 3u);  // the refusal, the erase's question, the refusal
  EXPECT_EQ(d.host.Boxes()[2], refused);
  EXPECT_TRUE(d.app->engine.BootIdle());
  const auto lines = d.host.Lines();
  EXPECT_TRUE(Logged(lines, "Download not started: the port could not be set to 115200 baud"));
  EXPECT_TRUE(Logged(lines, "Erase not started: the port could not be set to 115200 baud"));

  Dialog back("--mode boot");
  back.ports.refusedRate = 38400;
  CloseDevice(*back.app);
  for (int id : {IDC_NEXT, IDC_NEXT, IDC_BACK, IDC_NEXT}) back.Press(id);  // the bootloader
  ASSERT_TRUE(back.Run([&] { return back.app->guide.page == PAGE_COMPLETE; }, 20));
  EXPECT_EQ(back.Text(IDC_STEP_TITLE), "Download Complete");
  EXPECT_TRUE(Logged(back.host.Lines(),
                     "The port could not be set back to 38400 baud (error 22)."));
}

// The event log, exported with CR LF line ends (every line or the selected
// ones) and cleared.
TEST(DialogLog, ExportsAllOrTheSelectedLinesWithCrLfEnds) {
  Dialog d("");
  OpenDevice(*d.app, 1);
  auto exported = [&](int command) {
    d.Press(command);
    std::string text = ReadFile(d.host.viewed);
    std::remove(d.host.viewed.c_str());
    return text;
  };
  EXPECT_EQ(exported(IDC_EXPORT_ALL),
            "Opening Device Com1 ...\r\nDevice Com1 opened successfully.\r\n");
  d.host.selected = {1};
  EXPECT_EQ(exported(IDC_EXPORT_SELECTED), "Device Com1 opened successfully.\r\n");
  d.Press(IDC_CLEAR_LOG);
  EXPECT_EQ(exported(IDC_EXPORT_ALL), "");
  // A log that let its oldest lines go says how many, first.
  d.app->engine.Log().SetKeep(1);
  OpenDevice(*d.app, 1);
  const uint64_t dropped = d.app->engine.Log().Dropped();
  ASSERT_GT(dropped, 0u);
  const std::string head = std::to_string(dropped) +
                           (dropped == 1 ? " earlier line was" : " earlier lines were") +
                           " dropped.\r\n";
  const std::string last = d.app->engine.Log().Lines(dropped).at(0) + "\r\n";
  EXPECT_EQ(exported(IDC_EXPORT_ALL), head + last);
  d.host.selected = {dropped};
  EXPECT_EQ(exported(IDC_EXPORT_SELECTED), head + last);
}

// The port the dialog opens: the first "com" and number on its command
// line, else the bridge the system records, else the user is asked on page 2.
TEST(DialogPorts, TheCommandLineThenTheDetectedBridgeThenTheQuestion) {
  const struct {
    const char* line;
    int detected, number;
    bool asked;
  } kRows[] = {{"/port:COM12", 3, 12, false},
               {"xcOm 7 com9", 3, 7, false},
               {"", 3, 3, false},
               {"", 0, 0, true},
               {"com", 3, 0, true}};
  for (const auto& row : kRows) {
    SCOPED_TRACE(row.line);
    Dialog d("");
    d.host.detectedPort = row.detected;
    d.app->portSelection = {};
    ParseCommandLine(*d.app, row.line);
    OnInitDialog(*d.app);
    EXPECT_EQ(d.Text(IDC_PORT_NUMBER), std::to_string(row.number));
    for (int id : {IDC_NEXT, IDC_NEXT}) d.Press(id);
    EXPECT_EQ(d.host.portDialogs, row.asked ? 1 : 0);
  }
}

}  // namespace
}  // namespace quillon::test
