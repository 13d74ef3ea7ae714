#include <gtest/gtest.h>

#include <tuple>

#include "core/app/main_dialog.h"
#include "core/serial/serial_port.h"
#include "support/fakes.h"

namespace quillon {
namespace {

using test::Rig;

const std::string kBoxText3 =
    "The USB port (3) connection could not be opened.  Please check that all steps are followed "
    "completely.";

using Lines = std::vector<std::string>;

TEST(SerialPort, OpenDeviceOpensAtTheReadoutSettingsAndReopenClosesFirstWithTwoPauses) {
  Rig rig;
  OpenDevice(rig.app, 3);
  auto first = rig.factory.Last();
  ASSERT_TRUE(first);
  EXPECT_EQ(rig.app.link.Port(), first);
  EXPECT_EQ(first->name, "COM3");
  const auto& s = first->settings;
  EXPECT_EQ(std::make_tuple(s.baudRate, s.byteSize, s.parity, s.stopBits, s.flow),
            std::make_tuple(115200u, 8, 1, 0, 0u));
  EXPECT_TRUE(first->dtr.load());
  EXPECT_EQ(rig.host.LogLines(), (Lines{"Opening Device Com3 ...", "Device Com3 opened successfully."}));
  EXPECT_TRUE(rig.host.SleepCalls().empty());
  EXPECT_TRUE(rig.host.Boxes().empty());

  rig.host.OnLogCleared();
  OpenDevice(rig.app, 3);
  auto second = rig.factory.Last();
  ASSERT_NE(first, second);
  EXPECT_FALSE(first->IsOpen());
  EXPECT_EQ(rig.app.link.Port(), second);
  EXPECT_EQ(rig.host.LogLines(), (Lines{"Opening Device Com3 ...", "Closing current device ...",
                                        "Device Com3 opened successfully."}));
  EXPECT_EQ(rig.host.SleepCalls(), (std::vector<uint32_t>{250, 250}));
}

TEST(SerialPort, CloseLineCarriesOnlyTheCloseOwnError) {
  Rig rig;
  OpenDevice(rig.app, 1);
  rig.factory.Last()->closeError = 42;
  OpenDevice(rig.app, 2);
  auto lines = rig.host.LogLines();
  auto at = std::find(lines.begin(), lines.end(), "Closing current device ...");
  ASSERT_NE(at, lines.end());
  ASSERT_NE(at + 1, lines.end());
  EXPECT_EQ(*(at + 1), "system error 42");

  // A clean close adds no error text, whatever failed before it.
  rig.host.OnLogCleared();
  rig.factory.next = std::make_shared<test::FakeSerialDevice>();
  rig.factory.next->openError = 2;
  OpenDevice(rig.app, 5);  // fails, leaves a stale error behind
  OpenDevice(rig.app, 6);
  CloseDevice(rig.app);
  lines = rig.host.LogLines();
  EXPECT_EQ(lines.back(), "Closing current device ...");
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "system error 2"), 1);
}

TEST(SerialPort, FailedOpenAfterAnOpenPortLeavesNoneAndWarns) {
  Rig rig;
  OpenDevice(rig.app, 1);
  auto old = rig.factory.Last();
  rig.host.OnLogCleared();
  rig.factory.next = std::make_shared<test::FakeSerialDevice>();
  rig.factory.next->openError = 5;
  OpenDevice(rig.app, 3);
  EXPECT_FALSE(rig.app.link.IsOpen());
  EXPECT_FALSE(old->IsOpen());
  EXPECT_EQ(rig.host.LogLines(), (Lines{"Opening Device Com3 ...", "Closing current device ...",
                                        "Unable to open com port.", "system error 5"}));
  EXPECT_EQ(rig.host.Beeps(), 1);
  auto boxes = rig.host.Boxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, kBoxText3);
  EXPECT_EQ(boxes[0].caption, APP_TITLE);
  EXPECT_EQ(boxes[0].style, static_cast<unsigned>(MB_STYLE_ICONWARNING));
  EXPECT_TRUE(boxes[0].owned);
}

TEST(SerialPort, OpenByPathNamesThePathEverywhere) {
  Rig rig;
  OpenDevicePath(rig.app, "/dev/ttyUSB0");
  EXPECT_EQ(rig.factory.Last()->name, "/dev/ttyUSB0");
  EXPECT_EQ(rig.host.LogLines(),
            (Lines{"Opening Device /dev/ttyUSB0 ...", "Device /dev/ttyUSB0 opened successfully."}));
  // A % in a path is text, not a format.
  rig.factory.next = std::make_shared<test::FakeSerialDevice>();
  rig.factory.next->openError = 2;
  OpenDevicePath(rig.app, "/dev/%s%n");
  EXPECT_FALSE(rig.app.link.IsOpen());
  auto lines = rig.host.LogLines();
  EXPECT_EQ(lines[2], "Opening Device /dev/%s%n ...");
  ASSERT_EQ(rig.host.Boxes().size(), 1u);
  EXPECT_EQ(rig.host.Boxes()[0].text,
            "The USB port (/dev/%s%n) connection could not be opened.  Please check that all steps "
            "are followed completely.");
}

TEST(SerialPort, CloseDeviceClearsTheLinkBeforeClosingAndPausesOnce) {
  Rig rig;
  CloseDevice(rig.app);
  EXPECT_TRUE(rig.host.LogLines().empty());
  EXPECT_TRUE(rig.host.SleepCalls().empty());

  // A device that checks, at the moment it is cancelled and closed, that the
  // link no longer holds it.
  struct Watching : test::FakeSerialDevice {
    App* app = nullptr;
    bool linkedAtCancel = true;
    bool linkedAtClose = true;
    void CancelWait() override {
      linkedAtCancel = app->link.IsOpen();
      FakeSerialDevice::CancelWait();
    }
    int Close() override {
      linkedAtClose = app->link.IsOpen();
      return FakeSerialDevice::Close();
    }
  };
  auto device = std::make_shared<Watching>();
  device->app = &rig.app;
  rig.factory.next = device;
  OpenDevice(rig.app, 4);
  rig.host.OnLogCleared();
  CloseDevice(rig.app);
  EXPECT_FALSE(device->linkedAtCancel);
  EXPECT_FALSE(device->linkedAtClose);
  EXPECT_FALSE(device->IsOpen());
  EXPECT_EQ(rig.host.LogLines(), (Lines{"Closing current device ..."}));
  EXPECT_EQ(rig.host.SleepCalls(), (std::vector<uint32_t>{250}));
}

TEST(SerialPort, ReadWriteAndBaudRateGoToTheLinkedPortOnly) {
  Rig rig;
  uint8_t buffer[511];
  const uint8_t data[] = {7, 6};
  EXPECT_EQ(RS232_ReadAvailable(rig.app, buffer, sizeof buffer), 0u);  // no port
  EXPECT_EQ(RS232_Write(rig.app, data, 2), 0u);
  RS232_SetBaudRate(rig.app, 38400);
  auto device = rig.OpenFakePort();
  EXPECT_EQ(RS232_ReadAvailable(rig.app, buffer, sizeof buffer), 0u);
  std::vector<uint8_t> bytes(600);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 7);
  device->Inject(bytes);
  ASSERT_EQ(RS232_ReadAvailable(rig.app, buffer, sizeof buffer), 511u);
  EXPECT_TRUE(std::equal(buffer, buffer + 511, bytes.begin()));
  ASSERT_EQ(RS232_ReadAvailable(rig.app, buffer, sizeof buffer), 89u);
  EXPECT_TRUE(std::equal(buffer, buffer + 89, bytes.begin() + 511));

  EXPECT_EQ(RS232_Write(rig.app, data, 2), 2u);
  EXPECT_EQ(device->Written(), (std::vector<uint8_t>{7, 6}));
  EXPECT_EQ(device->clearErrors.load(), 0);
  device->writeFails = true;  // a failed write clears the port's error
  EXPECT_EQ(RS232_Write(rig.app, data, 2), 0u);
  EXPECT_EQ(device->clearErrors.load(), 1);
  RS232_SetBaudRate(rig.app, 38400);
  EXPECT_EQ(device->BaudHistory(), (std::vector<uint32_t>{115200, 38400}));
}

TEST(SerialPort, OpenPortPassesSettingsAndKeepsOnlyKnownFlowBits) {
  Rig rig;
  int error = 0;
  ASSERT_TRUE(RS232_OpenPort(rig.app, "COM9", 38400, 7, 2, 2, 0xF2, &error));
  const auto& s = rig.factory.Last()->settings;
  EXPECT_EQ(std::make_tuple(s.baudRate, s.byteSize, s.parity, s.stopBits, s.flow),
            std::make_tuple(38400u, 7, 2, 2, static_cast<uint32_t>(FLOW_CTS_RTS)));
  EXPECT_FALSE(rig.app.link.IsOpen());  // the link is OpenDevice's business

  rig.factory.next = std::make_shared<test::FakeSerialDevice>();
  rig.factory.next->openError = 32;
  EXPECT_EQ(RS232_OpenPort(rig.app, "COM9", 115200, 8, 1, 0, 0, &error), nullptr);
  EXPECT_EQ(error, 32);
}

}  // namespace
}  // namespace quillon
