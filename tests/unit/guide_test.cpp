// The download guide, the connection indicator, port selection and the
// main dialog's routing, against the recording host.
#include <gtest/gtest.h>

#include "core/app/guide.h"
#include "core/app/indicator.h"
#include "core/app/main_dialog.h"
#include "core/app/port_selection.h"
#include "support/fakes.h"

namespace quillon {
namespace {

using test::Rig;

class GuideTest : public ::testing::Test {
 protected:
  GuideTest() {
    rig.host.AddGuideLayout();
    rig.app.portSelection = {PORT_MODE_COMMAND_LINE, 7};
  }
  std::string Text(int id) { return rig.host.GetControlText(id).value_or("<missing>"); }
  bool Shown(int id) { return rig.host.controls[id].shown; }
  bool Enabled(int id) { return rig.host.controls[id].enabled; }
  // The user presses a button on the page as drawn.
  void Next() {
    RenderGuidePage(rig.app);
    GuideNext(rig.app);
  }
  void Back() {
    RenderGuidePage(rig.app);
    GuideBack(rig.app);
  }
  void ShowPage(int page, int choice = CHOICE_SOFTWARE) {
    rig.app.guide.page = page;
    rig.app.guide.choice = choice;
    rig.host.pictures.clear();
    RenderGuidePage(rig.app);
  }
  Rig rig;
};

TEST(PortSelection, FirstComOnTheCommandLineWinsThenDetectionThenAsking) {
  struct Case {
    const char* line;
    int detected;
    int mode;
    unsigned resolved;
  } cases[] = {{"COM7", 0, PORT_MODE_COMMAND_LINE, 7},
               {"/port=com7", 0, PORT_MODE_COMMAND_LINE, 7},
               {"  cOm 12 com3", 4, PORT_MODE_COMMAND_LINE, 12},  // detection not consulted
               {"C:\\commands\\x.txt com5", 0, PORT_MODE_ASK, 0},  // "com" in "commands"
               {"com-3", 0, PORT_MODE_COMMAND_LINE, static_cast<unsigned>(-3)},
               {"/verbose", 12, PORT_MODE_DETECT, 12},
               {"com", 0, PORT_MODE_ASK, 0}};  // no number: asked for, like nothing found
  for (const auto& c : cases) {
    Rig rig;
    rig.host.detectedPort = c.detected;
    ParseCommandLine(rig.app, c.line);
    EXPECT_EQ(ResolvePortNumber(rig.app), c.resolved) << c.line;
    EXPECT_EQ(rig.app.portSelection.mode, c.mode) << c.line;
  }
  for (auto [name, number] : {std::pair{"COM3", 3}, {"COM12", 12}, {"USB4", 4}, {"", 0}, {"COMx", 0}})
    EXPECT_EQ(ParsePortName(name), number) << name;
}

TEST_F(GuideTest, PagesShowTheirTextsButtonsAndPictures) {
  ShowPage(PAGE_CABLE);
  EXPECT_EQ(Text(IDC_STEP_TITLE), "STEP 1 - Connecting the USB Cable");
  EXPECT_EQ(Text(IDC_UPPER_TEXT), "Turn the Quillon power switch to the OFF position.");
  EXPECT_EQ(Text(IDC_LOWER_TEXT),
            "Connect a USB cable between your PC and the Quillon.  Refer to the Quillon user's "
            "manual for more information on the cable requirements.");
  EXPECT_EQ(Text(IDC_PROMPT), "When the cable is connected, press NEXT");
  EXPECT_FALSE(Enabled(IDC_BACK));
  EXPECT_TRUE(Enabled(IDC_NEXT));
  EXPECT_EQ(rig.host.pictures, (std::vector<std::pair<int, int>>{{1, 120}, {2, 122}}));

  ShowPage(PAGE_READYING);
  EXPECT_EQ(Text(IDC_STEP_TITLE), "STEP 2 - Readying the Quillon");
  EXPECT_EQ(Text(IDC_PROMPT), "When the Quillon's Bootloader menu appears, press NEXT.");
  EXPECT_EQ(rig.host.pictures, (std::vector<std::pair<int, int>>{{1, 123}, {2, 121}}));

  ShowPage(PAGE_CHOICE);
  EXPECT_EQ(Text(IDC_BACK), "Bootloader");
  EXPECT_EQ(Text(IDC_NEXT), "Software");
  EXPECT_EQ(Text(IDC_PROMPT), "Select \"Bootloader\" or \"Software\".");
  EXPECT_EQ(rig.host.pictures, (std::vector<std::pair<int, int>>{{1, 124}}));

  ShowPage(PAGE_INSTRUCTIONS, CHOICE_BOOTLOADER);
  EXPECT_EQ(Text(IDC_STEP_TITLE), "STEP 4 - Downloading the Bootloader");
  EXPECT_EQ(Text(IDC_BACK), "Back");
  EXPECT_EQ(rig.host.pictures, (std::vector<std::pair<int, int>>{{1, 143}, {2, 138}}));
  ShowPage(PAGE_INSTRUCTIONS, CHOICE_SOFTWARE);
  EXPECT_EQ(Text(IDC_LOWER_TEXT),
            "The message \"Downloading application ...\" will appear at the bottom of the "
            "Quillon's screen when it is ready.");
  EXPECT_EQ(rig.host.pictures, (std::vector<std::pair<int, int>>{{1, 139}, {2, 138}}));
}

TEST_F(GuideTest, ProgressPageEstimatesAndCompletePageCount) {
  rig.app.boot.downloadSize = 30356;
  ShowPage(PAGE_IN_PROGRESS, CHOICE_BOOTLOADER);
  EXPECT_EQ(Text(IDC_UPPER_TEXT),
            "The Quillon bootloader is being transferred.  This operation takes about 3 seconds "
            "to complete.");
  EXPECT_EQ(Text(IDC_PROMPT), "Downloading bootloader, please wait . . . ");
  EXPECT_FALSE(Shown(IDC_BACK));
  EXPECT_FALSE(Shown(IDC_NEXT));

  rig.app.boot.downloadSize = 4759532;
  ShowPage(PAGE_IN_PROGRESS, CHOICE_SOFTWARE);
  EXPECT_EQ(Text(IDC_UPPER_TEXT),
            "The Quillon software is being transferred.  This operation takes about 7.6 minutes "
            "to complete.");
  EXPECT_EQ(Text(IDC_LOWER_TEXT), "");

  ShowPage(PAGE_COMPLETE, CHOICE_SOFTWARE);
  EXPECT_EQ(Text(IDC_UPPER_TEXT),
            "Please verify that the number of data bytes transmitted (4759532) matches the number "
            "of bytes received by the Quillon.  The Quillon shows the number in parenthesis at "
            "the bottom of the display.");
  EXPECT_EQ(Text(IDC_PROMPT), "Press CLOSE to exit this program.");
  EXPECT_TRUE(Shown(IDC_BACK));
  EXPECT_TRUE(Enabled(IDC_BACK));
  EXPECT_FALSE(Shown(IDC_NEXT));
  EXPECT_FALSE(Enabled(IDC_NEXT));

  ShowPage(PAGE_COMPLETE, CHOICE_BOOTLOADER);
  EXPECT_EQ(Text(IDC_LOWER_TEXT), "The bootloader download will take effect on the next power cycle.");
  EXPECT_EQ(Text(IDC_PROMPT), "Press BACK if you want to load the software.");

  // Page 3 shows the Next button that page 6 hid.
  ShowPage(PAGE_CHOICE);
  EXPECT_TRUE(Shown(IDC_NEXT));
}

TEST_F(GuideTest, WalkToTheDownloadAndBack) {
  rig.images.images[IMAGE_SOFTWARE] = std::vector<uint8_t>(2000, 0x5A);
  ShowPage(PAGE_CABLE);
  GuideBack(rig.app);  // disabled on page 1
  EXPECT_EQ(rig.app.guide.page, PAGE_CABLE);
  GuideNext(rig.app);
  EXPECT_EQ(rig.app.guide.page, PAGE_READYING);
  EXPECT_EQ(rig.host.invalidations.back(), true);
  Next();
  EXPECT_EQ(rig.host.portDialogRuns, 0);  // the command line gave the port
  EXPECT_EQ(rig.app.guide.page, PAGE_CHOICE);
  Back();  // "Bootloader" opens the port
  ASSERT_TRUE(rig.app.link.IsOpen());
  EXPECT_EQ(rig.factory.Last()->name, "COM7");
  EXPECT_EQ(rig.app.guide.choice, CHOICE_BOOTLOADER);
  EXPECT_EQ(rig.app.guide.page, PAGE_INSTRUCTIONS);
  Back();  // back to 3, the port stays open
  EXPECT_EQ(rig.app.guide.page, PAGE_CHOICE);
  EXPECT_TRUE(rig.app.link.IsOpen());
  Next();  // "Software" with the port already open: no reopening
  EXPECT_EQ(rig.factory.created.size(), 1u);
  EXPECT_EQ(rig.app.guide.choice, CHOICE_SOFTWARE);
  Next();
  EXPECT_EQ(rig.app.guide.page, PAGE_IN_PROGRESS);
  Next();  // nothing on page 5
  EXPECT_EQ(rig.app.guide.page, PAGE_IN_PROGRESS);
  ASSERT_TRUE(rig.host.WaitForPost(5000));
  rig.host.Pump(rig.app);  // the run's completion
  EXPECT_EQ(rig.factory.Last()->Written(), rig.images.images[IMAGE_SOFTWARE]);
  EXPECT_EQ(rig.factory.Last()->baud.load(), 38400u);
  EXPECT_EQ(rig.app.guide.page, PAGE_COMPLETE);
  EXPECT_EQ(rig.host.invalidations.back(), false);
  Next();  // disabled on page 6
  EXPECT_EQ(rig.app.guide.page, PAGE_COMPLETE);
  GuideBack(rig.app);
  EXPECT_EQ(rig.app.guide.page, PAGE_CHOICE);
  EXPECT_FALSE(rig.app.link.IsOpen());
}

TEST_F(GuideTest, RefusedStartAndFailedRunKeepTheUserOffTheCompletePage) {
  // No image at all: the start shows its error box and returns 0.
  rig.OpenFakePort();
  ShowPage(PAGE_INSTRUCTIONS);
  GuideNext(rig.app);
  EXPECT_EQ(rig.app.guide.page, PAGE_INSTRUCTIONS);
  ASSERT_EQ(rig.host.Boxes().size(), 1u);
  EXPECT_EQ(rig.host.Boxes()[0].text,
            "Internal Error 001.  Unable to extract software for loading to unit.");
  // A run already under way (started by command 1015): its completion will
  // come, so the guide waits on page 5.
  rig.app.boot.bootBusy = 1;
  GuideNext(rig.app);
  EXPECT_EQ(rig.app.guide.page, PAGE_IN_PROGRESS);
  rig.app.boot.bootBusy = 0;

  // A failed run goes back to page 4 with a warning.
  OnBootDone(rig.app, false);
  EXPECT_EQ(rig.app.guide.page, PAGE_INSTRUCTIONS);
  EXPECT_TRUE(Shown(IDC_BACK) && Shown(IDC_NEXT));
  ASSERT_EQ(rig.host.Boxes().size(), 2u);
  EXPECT_EQ(rig.host.Boxes()[1].style, MB_STYLE_ICONWARNING);
  EXPECT_EQ(rig.host.Beeps(), 1);
  // A successful end shows page 6 from wherever the guide is (command 1015 on page 3).
  rig.app.guide.page = PAGE_CHOICE;
  OnBootDone(rig.app, true);
  EXPECT_EQ(rig.app.guide.page, PAGE_COMPLETE);
}

TEST_F(GuideTest, AskModeShowsThePortDialogOnEveryNextFromPage2) {
  rig.app.portSelection = {PORT_MODE_ASK, 0};
  rig.host.portDialogAnswers = {{1, 5}, {0, 99}};
  ShowPage(PAGE_READYING);
  GuideNext(rig.app);
  EXPECT_EQ(rig.app.portSelection.number, 5);
  rig.app.guide.page = PAGE_READYING;
  GuideNext(rig.app);  // cancelled: the number stays, the guide moves on all the same
  EXPECT_EQ(rig.host.portDialogRuns, 2);
  EXPECT_EQ(rig.app.portSelection.number, 5);
  EXPECT_EQ(rig.app.portSelection.mode, PORT_MODE_ASK);
  EXPECT_EQ(rig.app.guide.page, PAGE_CHOICE);
}

TEST_F(GuideTest, PortThatCannotOpenSendsNextToPage1AndKeepsBackOnPage3) {
  auto failNextOpen = [&] {
    rig.factory.next = std::make_shared<test::FakeSerialDevice>();
    rig.factory.next->openError = 2;
  };
  failNextOpen();
  ShowPage(PAGE_CHOICE);
  GuideBack(rig.app);
  EXPECT_EQ(rig.app.guide.page, PAGE_CHOICE);
  failNextOpen();
  GuideNext(rig.app);
  EXPECT_EQ(rig.app.guide.page, PAGE_CABLE);
}

TEST(Indicator, FollowsPortClearToSendAndPage) {
  Rig rig;
  UpdateConnectionIndicator(rig.app);  // no port: black, nothing to repaint
  EXPECT_EQ(rig.host.indicatorDraws.back(), INDICATOR_NO_PORT);
  EXPECT_TRUE(rig.host.invalidations.empty());

  auto port = rig.OpenFakePort();
  rig.app.guide.page = PAGE_READYING;  // pages 1 and 2 stay red even with CTS
  UpdateConnectionIndicator(rig.app);
  EXPECT_EQ(rig.host.indicatorDraws.back(), INDICATOR_NOT_READY);
  EXPECT_EQ(rig.host.invalidations, std::vector<bool>{false});

  rig.app.guide.page = PAGE_CHOICE;
  UpdateConnectionIndicator(rig.app);
  EXPECT_EQ(rig.host.indicatorDraws.back(), INDICATOR_READY);
  EXPECT_EQ(rig.host.invalidations, (std::vector<bool>{false, true}));
  UpdateConnectionIndicator(rig.app);  // unchanged: drawn, not repainted
  EXPECT_EQ(rig.host.invalidations.size(), 2u);
  EXPECT_EQ(rig.host.indicatorDraws.size(), 4u);

  port->cts = false;
  UpdateConnectionIndicator(rig.app);
  EXPECT_EQ(rig.host.indicatorDraws.back(), INDICATOR_NOT_READY);
  EXPECT_EQ(rig.host.invalidations.back(), false);
  port->cts = true;
  port->ctsFails = true;  // an unreadable status counts as CTS off
  UpdateConnectionIndicator(rig.app);
  EXPECT_EQ(rig.host.indicatorDraws.back(), INDICATOR_NOT_READY);
}

TEST(MainDialog, RoutesCloseEscapeRawLoggingAndConfirmations) {
  for (int id : {IDC_CANCEL, IDC_CLOSE}) {
    Rig rig;
    OnCommand(rig.app, id);
    EXPECT_EQ(rig.host.endResult, 0);
  }
  Rig rig;
  OnCommand(rig.app, 1);  // Enter: no default button, nothing happens
  EXPECT_FALSE(rig.host.endResult.has_value());
  OnCommand(rig.app, IDC_RAW_LOGGING);
  EXPECT_EQ(rig.app.receiver.rawLogging.load(), 1);
  OnCommand(rig.app, IDC_RAW_LOGGING);
  EXPECT_EQ(rig.app.receiver.rawLogging.load(), 0);
  // Confirmations answered No do nothing.
  rig.host.boxAnswers = {ANSWER_NO, ANSWER_NO};
  OnCommand(rig.app, IDC_FLASH_ERASE);
  OnCommand(rig.app, IDC_BOOTLOADER_DOWNLOAD);
  auto boxes = rig.host.Boxes();
  ASSERT_EQ(boxes.size(), 2u);
  EXPECT_EQ(boxes[0].text, "Are you sure you want to erase the flash?");
  EXPECT_EQ(boxes[1].text, "Are you sure you want to download the bootloader code?");
  EXPECT_EQ(boxes[1].style, MB_STYLE_ICONQUESTION | MB_STYLE_YESNO);
  EXPECT_EQ(boxes[1].caption, APP_TITLE);
  EXPECT_TRUE(rig.host.LogLines().empty());
  EXPECT_FALSE(rig.app.boot.bootBusy.load());
}

}  // namespace
}  // namespace quillon
