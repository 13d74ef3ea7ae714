// The records against simulated readouts: log and report appended run after run; ports by identity
// in a fake /sys and /dev tree (socket order, --expect, --wait, labels); --json on every path.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <regex>
#include <sstream>

#include "core/sha256.h"
#include "support/support.h"

namespace quillon::test {
namespace {

namespace fs = std::filesystem;

bool Has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

int Count(const std::string& text, const std::string& part) {
  int n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

std::string ImageDigest() {
  const std::string image = ReadFile(QUILLON_IMAGES "ZYN_BOOTLOADER.bin");
  return Sha256Hex(reinterpret_cast<const uint8_t*>(image.data()), image.size());
}

// Points quillon's port discovery at a fake tree for the test's length.
struct DeviceRoot {
  TempDir dir;
  DeviceRoot() { setenv("QUILLON_DEVICE_ROOT", dir.path.c_str(), 1); }
  ~DeviceRoot() { unsetenv("QUILLON_DEVICE_ROOT"); }
  // A USB adapter plugged into socket usb (1-1.2) as the kernel and udev
  // show it: its ids and serial number in sysfs, /dev/TTY a link to target,
  // and its by-path link.
  std::string Add(const std::string& tty, const std::string& usb, const std::string& target,
                  const std::string& vendor = "10c4") {
    const std::string device = dir / ("sys/devices/usb1/" + usb),
                      node = device + "/" + usb + ":1.0/" + tty;
    fs::create_directories(node);
    WriteFile(device + "/idVendor", vendor + "\n");
    WriteFile(device + "/idProduct", "ea60\n");
    WriteFile(device + "/serial", "SN" + tty.substr(tty.size() - 1) + "\n");
    fs::create_directories(dir / "dev/serial/by-path");
    fs::create_symlink(target, dir / ("dev/" + tty));
    const std::string byPath =
        dir / ("dev/serial/by-path/pci-0000:00:14.0-usb-0:" + usb.substr(2) + ":1.0-port0");
    fs::create_symlink("../../" + tty, byPath);
    // The class entry's device link last: with it the port is there, whole.
    fs::create_directories(dir / ("sys/class/tty/" + tty));
    fs::create_directory_symlink(node, dir / ("sys/class/tty/" + tty + "/device"));
    return byPath;
  }
};

// Every line of out is a JSON object with an event; `end` comes once, last,
// with the exit code; a job's start and result name it alike.
void ExpectJsonOnly(const std::string& out, int exit) {
  TempDir dir;
  WriteFile(dir / "events.json", out);
  WriteFile(
      dir / "check.py",
      "import json, sys\n"
      "events = [json.loads(line) for line in open(sys.argv[1])]\n"
      "assert events and all(type(e) is dict and 'event' in e for e in events)\n"
      "assert [e['event'] for e in events].count('end') == 1 and events[-1]['event'] == 'end'\n"
      "assert events[-1]['exit'] == int(sys.argv[2])\n"
      "starts = {e['port']: e['job'] for e in events if e['event'] == 'start'}\n"
      "assert all(starts[e['port']] == e['job'] for e in events if e['event'] == 'result')\n"
      "assert int(sys.argv[2]) == 0 or any(e['event'] in ('error', 'result') for e in events)\n");
  Child checker({"/usr/bin/env", "python3", "check.py", "events.json", std::to_string(exit)},
                dir.path);
  ASSERT_TRUE(checker.Wait(20));
  EXPECT_EQ(checker.code, 0) << checker.Err() << out;
}

TEST(CliJson, EveryPathWritesOnlyJsonEndingInEnd) {
  TempDir dir;
  Sim sim("", dir.path);
  WriteFile(dir / "store/nlec.txt", "a 1\nb 2\nc 3\n");
  const std::string port = " -p " + sim.Path();
  const struct {
    std::string args;
    int exit;
    const char* out;
  } runs[] = {
      {port + " bogus", 2, "\"event\":\"error\""},                   // a usage error
      {port + " receive settings", 2, "takes one FILE"},             // another, found after parsing
      {" -p /dev/quillon-none test", 3, "\"cause\":\"port_open\""},  // a missing port
      {" guide", 2, "\"event\":\"error\""},                          // the guide asks a person
      {port + " nlec get table.txt", 0, "\"lines\":3,"},             // a get counts lines
  };
  for (const auto& run : runs) {
    SCOPED_TRACE(run.args);
    Result result = RunQuillon("--json" + run.args, dir.path);
    EXPECT_EQ(result.code, run.exit) << result.err;
    EXPECT_TRUE(Has(result.out, run.out)) << result.out;
    ExpectJsonOnly(result.out, run.exit);
  }
}

TEST(CliLog, AppendsTimedLinesAndAnOutcomePerPortAfterEachJob) {
  TempDir dir;
  setenv("TZ", "IST-5:30", 1);  // local time 5:30 ahead of UTC
  const std::regex stamped(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}\+05:30 .+)");
  for (const char* faults : {"", "", "--hangup-after 5000"}) {
    Sim sim(std::string("--mode boot ") + faults, dir.path);
    Result run = RunQuillon("-p " + sim.Path() + " --log run.log download --allow-placeholder bootloader", dir.path);
    EXPECT_EQ(run.code, *faults ? 1 : 0) << run.err;
    EXPECT_TRUE(std::regex_search(run.err, std::regex(R"(\d\d:\d\d\.\d{3}\+05:30 progress: )")))
        << run.err;
  }
  // The readout's words may hold a line end or a terminal control: they
  // never make a line of their own in the log.
  Sim liar("--file-error \"x\x1b[2J\nFAKE outcome: done\"", dir.path);
  EXPECT_EQ(RunQuillon("-p " + liar.Path() + " --log run.log receive settings got.bin", dir.path).code, 1);
  const std::string log = ReadFile(dir / "run.log");
  EXPECT_GE(Count(log, "x\\e[2J\\nFAKE outcome: done"), 1) << log;
  std::stringstream lines(log);
  for (std::string line; std::getline(lines, line);)
    EXPECT_TRUE(std::regex_match(line, stamped)) << line;
  EXPECT_EQ(Count(log, " outcome: download bootloader done, cause none, 30356 bytes, "), 2) << log;
  EXPECT_EQ(Count(log, "image ZYN_BOOTLOADER (30356 bytes, sha256 " + ImageDigest() + ")\n"), 6);
  EXPECT_EQ(Count(log, "outcome: download bootloader failed, cause port_lost (the readout's port"),
            1);
  unsetenv("TZ");
}

TEST(CliPorts, ByIdentityInSocketOrder_ExpectAndWait_ReportAppended) {
  DeviceRoot root;
  TempDir work, stores[4];
  std::vector<std::unique_ptr<Sim>> sims;
  // ttyUSB0 is in socket 1-1.10, ttyUSB1 in 1-1.9, ttyUSB2 in 1-1.2: the
  // sockets' order is 2, 1, 0. ttyUSB7 is another maker's adapter.
  const char* sockets[] = {"1-1.10", "1-1.9", "1-1.2", "1-1.3"};
  std::vector<std::string> byPath;
  for (int i = 0; i < 3; ++i) {
    sims.push_back(std::make_unique<Sim>("--mode boot", stores[i].path));
    byPath.push_back(root.Add("ttyUSB" + std::to_string(i), sockets[i], sims.back()->Path()));
  }
  WriteFile(work / "plain", "");
  root.Add("ttyUSB7", "1-2", work / "plain", "0403");

  Result run = RunQuillon("--json ports", work.path);
  ExpectJsonOnly(run.out, 0);
  const std::string usb2 =
      "\"serial\":\"SN2\",\"location\":\"pci-0000:00:14.0-usb-0:1.2:1.0-port0\"";
  EXPECT_TRUE(Has(run.out, usb2 + ",\"by_path\":\"" + byPath[2] + "\"")) << run.out;
  EXPECT_TRUE(Has(run.out, "\"bridge\":true,\"in_use\":true") &&
              Has(run.out, "\"bridge\":false,\"in_use\":false"));

  run = RunQuillon("--all --expect 4 download --allow-placeholder bootloader", work.path);
  EXPECT_EQ(run.code, 3);
  EXPECT_TRUE(Has(run.err, "expected 4 USB serial bridges 10C4:EA60, found 3: ") &&
              Has(run.err, "serial SN1"))
      << run.err;

  // Two sockets named by their by-path links: labelled by where they differ.
  run = RunQuillon(
      "-p " + byPath[0] + " -p " + byPath[1] + " --report report.json download --allow-placeholder bootloader",
      work.path);
  EXPECT_EQ(run.code, 0) << run.err;
  EXPECT_TRUE(Has(run.err, "\n0:1.10:1.0  done") && Has(run.err, "\n0:1.9:1.0   done")) << run.err;

  // The fourth readout is plugged in while quillon waits for it.
  sims.push_back(std::make_unique<Sim>("--mode boot", stores[3].path));
  Child waiting(QuillonArgs("--all --expect 4 --wait 30 --report report.json download --allow-placeholder bootloader"),
                work.path);
  ASSERT_TRUE(WaitFor([&] { return Has(waiting.Err(), "waiting up to 30 s"); }, 10))
      << waiting.Err();
  root.Add("ttyUSB3", sockets[3], sims.back()->Path());
  ASSERT_TRUE(waiting.Wait(30));
  EXPECT_EQ(waiting.code, 0) << waiting.Err();
  const std::string table = waiting.Err().substr(waiting.Err().find("PORT") + 1);
  EXPECT_TRUE(std::regex_search(table, std::regex("ttyUSB2 [^]*ttyUSB3 [^]*ttyUSB1 [^]*ttyUSB0 ")))
      << table;

  // Both runs' records, one per port per job, each naming the image by its digest.
  const std::string report = ReadFile(work / "report.json");
  EXPECT_EQ(std::count(report.begin(), report.end(), '\n'), 6);
  EXPECT_EQ(Count(report, "\"image\":{\"name\":\"ZYN_BOOTLOADER\",\"size\":30356,\"sha256\":\"" +
                              ImageDigest() +
                              "\"},\"outcome\":\"done\",\"cause\":\"none\",\"reason\":\"\","
                              "\"bytes\":30356,"),
            6)
      << report;
  EXPECT_TRUE(Has(report, "\"port\":\"" + byPath[0] +
                              "\",\"label\":\"0:1.10:1.0\",\"identity\":{\"serial\":\"SN0\","
                              "\"location\":\"pci-0000:00:14.0-usb-0:1.10:1.0-port0\""));
}

}  // namespace
}  // namespace quillon::test
