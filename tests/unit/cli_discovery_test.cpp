// Port discovery over a sysfs tree laid out in a temporary directory, the
// way the kernel lays out USB serial adapters, a built-in UART and a
// virtual console.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>

#include "platform/posix/port_discovery.h"

namespace quillon::posix {
namespace {

namespace fs = std::filesystem;

class FakeSysfs {
 public:
  FakeSysfs() {
    std::random_device random;
    root = fs::temp_directory_path() / ("quillon-sysfs-" + std::to_string(random()));
    fs::create_directories(root / "class" / "tty");
  }
  ~FakeSysfs() {
    std::error_code ec;
    fs::remove_all(root, ec);
  }

  // A USB serial adapter: usb device (ids) / interface / port / tty/<name>.
  void AddUsbTty(const std::string& name, const std::string& usbDevice, const std::string& vendor,
                 const std::string& product, const std::string& productName = "") {
    fs::path usb = root / "devices" / "pci0000:00" / "usb1" / usbDevice;
    fs::path port = usb / (usbDevice + ":1.0") / name;
    fs::create_directories(port / "tty" / name);
    Write(usb / "idVendor", vendor + "\n");
    Write(usb / "idProduct", product + "\n");
    if (!productName.empty()) Write(usb / "product", productName + "\n");
    Link(name, port / "tty" / name, port);
  }

  // A UART on the main board: a device, but no USB ids above it.
  void AddPlatformTty(const std::string& name) {
    fs::path device = root / "devices" / "platform" / "serial8250" / name;
    fs::create_directories(device / "tty" / name);
    Link(name, device / "tty" / name, device);
  }

  // A virtual terminal: a class entry without a device.
  void AddVirtualTty(const std::string& name) {
    fs::path entry = root / "devices" / "virtual" / "tty" / name;
    fs::create_directories(entry);
    fs::create_directory_symlink(entry, root / "class" / "tty" / name);
  }

  fs::path root;

 private:
  static void Write(const fs::path& file, const std::string& text) { std::ofstream(file) << text; }
  void Link(const std::string& name, const fs::path& classTarget, const fs::path& device) {
    fs::create_directory_symlink(classTarget, root / "class" / "tty" / name);
    fs::create_directory_symlink(device, classTarget / "device");
  }
};

TEST(CliDiscovery, FindsTheBridgeAndIgnoresOtherPorts) {
  FakeSysfs sys;
  sys.AddUsbTty("ttyUSB0", "1-1", "10c4", "ea60", "CP2102 USB to UART Bridge Controller");
  sys.AddUsbTty("ttyACM0", "1-2", "2341", "0043");
  sys.AddUsbTty("ttyUSB1", "1-3", "10c4", "ea70");  // same maker, another product
  sys.AddPlatformTty("ttyS0");
  sys.AddVirtualTty("tty1");

  auto bridges = FindBridgePorts(sys.root.string(), "/dev");
  ASSERT_EQ(bridges.size(), 1u);
  EXPECT_EQ(bridges[0].name, "ttyUSB0");
  EXPECT_EQ(bridges[0].path, "/dev/ttyUSB0");
  EXPECT_EQ(bridges[0].description, "CP2102 USB to UART Bridge Controller");

  auto all = ListSerialPorts(sys.root.string(), "/dev");
  ASSERT_EQ(all.size(), 4u);  // the virtual terminal has no device
  std::vector<std::string> names;
  for (const auto& port : all) names.push_back(port.name);
  EXPECT_EQ(names, (std::vector<std::string>{"ttyACM0", "ttyS0", "ttyUSB0", "ttyUSB1"}));
  EXPECT_EQ(all[0].vendor, "2341");
  EXPECT_FALSE(all[0].bridge);
  EXPECT_TRUE(all[1].vendor.empty());
  EXPECT_TRUE(all[2].bridge);
  EXPECT_FALSE(all[3].bridge);
}

TEST(CliDiscovery, UpperCaseIdsSeveralBridgesAndAMissingTree) {
  FakeSysfs sys;
  EXPECT_TRUE(ListSerialPorts(sys.root.string(), "/dev").empty());
  EXPECT_TRUE(FindBridgePorts((sys.root / "nowhere").string(), "/dev").empty());
  sys.AddUsbTty("ttyUSB3", "2-1", "10C4", "EA60");
  sys.AddUsbTty("ttyUSB2", "2-2", "10c4", "ea60");
  auto bridges = FindBridgePorts(sys.root.string(), "/devices-here");
  ASSERT_EQ(bridges.size(), 2u);
  EXPECT_EQ(bridges[0].path, "/devices-here/ttyUSB2");
  EXPECT_EQ(bridges[1].path, "/devices-here/ttyUSB3");
}

}  // namespace
}  // namespace quillon::posix
