// The quillon program against the simulated readout: every job under every
// kind of fault, checked by its end state (the files, the exit code, what
// the user is told, how long it took), then the hang-ups, an interrupt and
// several readouts at once.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <sstream>
#include <utility>

#include "support/support.h"

namespace quillon::test {
namespace {

const std::string OLD = "the user's own settings, kept until a receive is whole\n";
const std::string USER_BITMAP =
    "0x51, 0x55,\r\n0x49\r\n";  // a listing the user keeps as bitmap.bin
const std::string MINE = "the user's own mine.bin.part, never the program's\n";
const std::string TABLE = "1.0 0.5 0.25\r\n2.0 1.5 1.25\r\n3.0 2.5 2.25\r\n";

// A working directory with the user's files and a readout's store.
struct Files {
  TempDir dir;
  Files() {
    WriteFile(dir / "in.bin", RandomBytes(300, 1));
    WriteFile(dir / "odd.bin", RandomBytes(257, 6));  // its last chunk of one byte moves no strip
    WriteFile(dir / "prog.bin", RandomBytes(1000, 2));
    std::string listing, bytes;
    for (int i = 0; i < 300; ++i) {
      char value[16];
      std::snprintf(value, sizeof value, "0x%02X,%s", (i * 37) & 0xFF, i % 16 == 15 ? "\r\n" : " ");
      listing += value;
      bytes.push_back(static_cast<char>((i * 37) & 0xFF));
    }
    WriteFile(dir / "listing.txt", listing);
    WriteFile(dir / "listing.bin", bytes);
    WriteFile(dir / "bitmap.bin", USER_BITMAP);
    WriteFile(dir / "bitmap.expect", "QUI");
    WriteFile(dir / "table.txt", TABLE);
    WriteFile(dir / "table.lf", "1.0 0.5 0.25\n2.0 1.5 1.25\n3.0 2.5 2.25\n");
    WriteFile(dir / "empty.bin", "");
    WriteFile(dir / "nobytes.txt", "no values in here\r\n");
    for (const char* name : {"out.bin", "old.bin", "full.bin"}) WriteFile(dir / name, OLD);
    // The user's own files of part-like names: a .part and a link.
    WriteFile(dir / "mine.bin.part", MINE);
    std::filesystem::create_symlink("/dev/full", dir / "full.bin.part");
    // A destination that is a link to a private file elsewhere.
    std::filesystem::create_directories(dir / "real");
    WriteFile(dir / "real/secret.bin", OLD);
    std::filesystem::permissions(dir / "real/secret.bin", std::filesystem::perms::owner_read);
    std::filesystem::create_symlink("real/secret.bin", dir / "link.bin");
    std::filesystem::create_directories(dir / "store");
    WriteFile(dir / "store/settings.bin", RandomBytes(200, 3));
    WriteFile(dir / "store/PROG1", RandomBytes(700, 4));
    WriteFile(dir / "store/FF", std::string(256, '\xFF'));
    WriteFile(dir / "store/BIG", RandomBytes(20000, 5));
    WriteFile(dir / "store/nlec.txt", "a 1\nb 2\nc 3\n");
    WriteFile(dir / "nlec.crlf", "a 1\r\nb 2\r\nc 3\r\n");
  }
  std::string operator/(const std::string& name) const { return dir / name; }
};

bool Has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

struct Case {
  const char* args;  // quillon's, after -p PORT
  const char* sim;   // the simulator's options
  int exit;
  const char* out;  // printed on stdout
  const char* err;  // printed on stderr, each of the '|'-separated parts; "!x": x printed nowhere
  const char*
      same;  // "A=B": two files byte for byte the same at the end (A=missing: A is not there)
  double bound = 15;  // seconds the run may take
  int fileBlocks = 0;  // > 0: files may grow to this many 512-byte blocks (a disk that fills up)
};

std::ostream& operator<<(std::ostream& os, const Case& c) {
  return os << c.args << " / sim " << c.sim;
}

constexpr const char* BAD_PORT = "the readout's port went away (unplugged?)";
constexpr const char* SENT_SETTINGS =
    "Sent the settings file in.bin (300 bytes); the readout's checksum matches.";
constexpr const char* SENT_PROGRAM =
    "Sent the program file prog.bin (1000 bytes); the readout's checksum matches.";

constexpr const char* BOOT_SHA = "d1ab3049de577ee5335110f5ca9cb5831126489f2277a2ccf2b492c1037d595f";

const Case kCases[] = {
    {"download bootloader --allow-placeholder", "--mode boot", 0, "30356 bytes sent.", "",
     "image.bin=" QUILLON_IMAGES "ZYN_BOOTLOADER.bin"},
    {"download bootloader", "--mode boot", 2, "",
     "ZYN_BOOTLOADER is a placeholder|-DQUILLON_BOOTLOADER_IMAGE=|--image FILE|--allow-placeholder",
     "image.bin=missing", 3},
    {"download software --allow-placeholder", "--mode boot", 0, "4759532 bytes sent.", "",
     "image.bin=" QUILLON_IMAGES "ZYN_SOFTWARE.bin", 40},
    {"download bootloader --allow-placeholder", "--mode boot --hangup-after 5000", 1, "",
     "failed: the readout's port went away|bytes were handed to the port before it failed; the "
     "readout may hold fewer",
     ""},
    {"download bootloader --allow-placeholder -b -1", "--mode boot", 2, "", "give 115200 or 38400",
     "", 3},
    {"download software --image in.bin", "--mode boot", 0, "Image: in.bin (file), 300 bytes, SHA-256 ",
     "", "image.bin=in.bin"},
    {"download software --image empty.bin", "--mode boot", 2, "",
     "empty.bin is empty; nothing to send", "", 3},
    {"erase --yes", "--mode boot", 0, "Done erasing user storage.",
     "Erasing: waiting for the readout's answer, at most 120 seconds.", ""},
    {"erase", "--mode boot", 2, "", "give --yes to erase", "", 3},
    {"--json erase --yes", "--mode boot --erase-delay 1500", 0,
     "\"done\":1,\"total\":120,\"unit\":\"seconds\"", "", ""},
    {"send settings in.bin", "", 0, "the readout's checksum matches", "",
     "store/settings.bin=in.bin"},
    {"send settings in.bin", "--drop-nth 2", 0, SENT_SETTINGS, "", "store/settings.bin=in.bin"},
    {"send settings in.bin", "--corrupt-checksum 3", 0, SENT_SETTINGS, "", "store/settings.bin=in.bin"},
    {"send settings in.bin", "--answer-bad-checksum 2", 0, SENT_SETTINGS, "",
     "store/settings.bin=in.bin"},
    {"send settings in.bin", "--answer-remote-timeout 3", 0, SENT_SETTINGS, "",
     "store/settings.bin=in.bin"},
    {"send settings in.bin", "--wrong-final-checksum", 1, "", "checksum does not match", ""},
    {"send settings in.bin", "--silent", 1, "", "no answer from the readout", "", 8},
    {"send settings in.bin", "--file-error \"File not found\"", 1, "", "File not found", ""},
    {"send settings /dev/zero", "", 2, "", "not a regular file", "", 3},
    {"send settings empty.bin", "", 2, "", "empty.bin is empty; nothing to send", "", 3},
    {"send settings empty.bin --allow-empty", "", 0,
     "Sent the settings file empty.bin (0 bytes); the readout's checksum matches.", "",
     "store/settings.bin=empty.bin"},
    {"send settings odd.bin", "", 0, "", "progress: 100% (257 of 257 bytes)",
     "store/settings.bin=odd.bin"},
    {"send settings in\x1b[2J\x01.bin", "", 2, "", "in\\e[2J\\x01.bin: no such file", "", 3},
    {"send program prog.bin", "--noise 5", 0, SENT_PROGRAM, "", "store/program.bin=prog.bin"},
    {"send program prog.bin", "--split-writes", 0, SENT_PROGRAM, "", "store/program.bin=prog.bin"},
    {"send program prog.bin", "--hangup-after 300", 1, "", BAD_PORT, "store/program.bin=missing"},
    // Four chunks of 128 acknowledged (the readout asked for the fifth).
    {"--json send program prog.bin", "--hangup-after 600", 1, "\"bytes\":512,", BAD_PORT,
     "store/program.bin=missing"},
    {"send bitmap listing.txt", "--stall-mid-packet 2", 0, "Converted 300 bytes", "",
     "store/bitmap.bin=listing.bin"},
    {"send bitmap bitmap.bin", "", 0, "Converted 3 bytes", "", "store/bitmap.bin=bitmap.expect"},
    {"send bitmap nobytes.txt", "", 2, "", "no byte values found in nobytes.txt", "", 3},
    {"receive settings out.bin", "", 0, "Received 200 bytes", "", "out.bin=store/settings.bin"},
    {"receive settings out.bin", "--oversize-header", 0, "Received 200 bytes into out.bin.", "",
     "out.bin=store/settings.bin"},
    // Answers slower than the resend: each piece comes twice and is written once.
    {"-v receive settings out.bin", "--answer-delay 700 --piece-size 32 --drop-nth 2", 0,
     "Received 200 bytes", "Repeated answer", "out.bin=store/settings.bin", 30},
    {"receive settings out.bin", "--silent", 1, "", "no answer from the readout",
     "out.bin.part=missing", 8},
    {"receive settings out.bin", "--file-error \"File not found\"", 1, "", "File not found", ""},
    {"receive settings out.bin", "--file-error \"\x1b[2J\x07gone\r\"", 1, "",
     "error: \\e[2J\\x07gone\\r.", ""},
    {"receive settings out.bin", "--hangup-after 30", 1, "",
     "out.bin.part|the readout's port went away (unplugged?)", ""},
    {"receive program BIG full.bin", "", 1, "", "could not be written", "full.bin=old.bin", 15, 2},
    // Never a file of the user's: their .part stays, a free name is taken and
    // reported; a link stays a link, its target gets the data and keeps its mode.
    {"receive settings mine.bin", "", 0, "Received 200 bytes", "", "mine.bin=store/settings.bin"},
    {"receive settings mine.bin", "--hangup-after 30", 1, "", "kept in mine.bin.1.part", ""},
    {"receive settings link.bin", "", 0, "", "", "real/secret.bin=store/settings.bin"},
    {"receive settings link.bin", "--hangup-after 30", 1, "", "kept in real/secret.bin.part", ""},
    {"receive settings /proc/version", "", 2, "",
     "cannot be written: no file can be created in /proc", "", 3},
    {"receive program NNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNN out.bin", "",
     2, "", "is 64 bytes long; the readout takes at most 63 bytes", "", 3},
    {"receive program PROG1 out.bin", "--corrupt-checksum 2", 0, "Received 700 bytes into out.bin.",
     "", "out.bin=store/PROG1"},
    {"receive program FF out.bin", "--piece-size 128", 0, "Received 256 bytes", "",
     "out.bin=store/FF"},
    {"nlec send table.txt", "", 0, "3 lines will be sent.", "", "store/nlec.txt=table.lf"},
    {"nlec send table.txt", "--wrong-final-checksum", 1, "", "failed: Nlec Checksum Failure.\n",
     ""},
    {"nlec send table.txt", "--nlec-error", 1, "", "NLEC error", ""},
    {"nlec get out.bin", "--answer-remote-timeout 2", 0,
     "NLEC Transfer completed in 0 seconds. 3 lines in out.bin.", "", "out.bin=nlec.crlf"},
    {"nlec get out.bin", "--nlec-error", 1, "", "NLEC error", ""},
    {"test", "", 0, "The readout answered the test command.", "!LAST COMMAND", ""},
    {"-v test", "", 0, "", "LAST COMMAND: Resend=0, Id=1, Cmd=19, cs=315, buf(6)=100000", ""},
    {"test", "--silent", 1, "", "no answer from the readout", ""},
    {"monitor --seconds 2", "--send-log hello --send-after 1000", 0, "RAW_DATA: ~~", "", ""},
    {"monitor --seconds 2",
     "--send-erase-result \"\x1b[2J\" --send-log \"hi\x1b[31m\" --send-after 1000", 0,
     "buf(7)=hi\\e[31m", "erase failure: \\e[2J", ""},
    {"monitor --seconds 1e300", "", 2, "", "from 0 to 31536000", "", 3},
    {"test --log /proc/x/log.txt", "", 2, "", "/proc/x/log.txt", "", 3},
    {"test --log /dev/full", "", 0, "The readout answered the test command.",
     "the log could not be written: No space left on device", ""},
    {"--wait 0x10 --all test", "", 2, "", "0x10 is not a number of seconds from 0 to 31536000", "", 3},
    {"test --report /proc/x/r.json", "", 2, "", "/proc/x/r.json", "", 3},
    // The run's options before the command, help and the version.
    {"-b 38400 download --allow-placeholder bootloader", "--mode boot", 0, "30356 bytes sent.", "",
     "image.bin=" QUILLON_IMAGES "ZYN_BOOTLOADER.bin"},
    {"-y erase", "--mode boot", 0, "Done erasing user storage.", "", ""},
    {"help download", "", 0, "--baud", "", ""},
    {"-V", "", 0, "quillon 1.0.2", "", ""},
    // --- Readouts that number their packets each way we might meet, with a
    // lost answer (so the host resends): a readout that repeats its answer
    // to a resent packet is served whole under every id scheme.
    {"send settings in.bin", "--answer-ids echo --drop-nth 2", 0, SENT_SETTINGS, "",
     "store/settings.bin=in.bin"},
    {"send settings in.bin", "--answer-ids constant --drop-nth 2", 0, SENT_SETTINGS, "",
     "store/settings.bin=in.bin"},
    {"receive settings out.bin", "--answer-ids echo --drop-nth 3", 0,
     "Received 200 bytes into out.bin.", "", "out.bin=store/settings.bin"},
    {"receive settings out.bin", "--answer-ids constant --drop-nth 3", 0,
     "Received 200 bytes into out.bin.", "", "out.bin=store/settings.bin"},
    {"nlec send table.txt", "--answer-ids constant --drop-nth 3", 0, "3 lines will be sent.", "",
     "store/nlec.txt=table.lf"},
    {"nlec get out.bin", "--answer-ids echo --drop-nth 3", 0, " 3 lines in out.bin.", "",
     "out.bin=nlec.crlf"},
    {"nlec get out.bin", "--answer-ids constant --drop-nth 3", 0, " 3 lines in out.bin.", "",
     "out.bin=nlec.crlf"},
    // A readout that takes a resent packet as a new request: a lost answer
    // loses a piece or stores a chunk twice, and the run says so.
    {"receive settings out.bin", "--resend-answer new --drop-nth 2", 1, "",
     "received 72 bytes, the readout announced 200", "", 15},
    {"send settings in.bin", "--resend-answer new --drop-nth 3", 1, "", "checksum does not match",
     ""},
    {"send settings in.bin", "--resend-answer new --answer-ids constant --drop-nth 2", 1, "",
     "checksum does not match", ""},
};

class CliTable : public ::testing::TestWithParam<Case> {};

TEST_P(CliTable, EndsWhole_OrFailsHonestlyWithinItsBound) {
  const Case& c = GetParam();
  Files files;
  Sim sim(c.sim, files.dir.path);
  std::vector<std::string> args = QuillonArgs("-p " + sim.Path() + " " + c.args);
  if (c.fileBlocks > 0) {
    const std::string limit = "trap '' XFSZ; ulimit -f " + std::to_string(c.fileBlocks);
    args.insert(args.begin(), {"/bin/sh", "-c", limit + "; exec \"$0\" \"$@\""});
  }
  Result run = RunArgs(args, files.dir.path, c.bound + 10);
  EXPECT_EQ(run.code, c.exit) << run.err;
  EXPECT_LT(run.seconds, c.bound);
  EXPECT_TRUE(Has(run.out, c.out)) << run.out;
  std::stringstream needles(c.err);
  for (std::string needle; std::getline(needles, needle, '|');) {
    if (needle[0] == '!') {
      EXPECT_FALSE(Has(run.out + run.err, needle.substr(1))) << run.out << run.err;
    } else {
      EXPECT_TRUE(Has(run.err, needle)) << run.err;
    }
  }
  // Nothing the readout or the user wrote reaches the terminal as a control sequence.
  EXPECT_FALSE(Has(run.out + run.err, "\x1b")) << run.out << run.err;
  // Every download names its image before it begins.
  if (Has(c.args, "download bootloader --allow-placeholder") && c.exit != 2) {
    EXPECT_TRUE(
        Has(run.out,
            std::string("Image: ZYN_BOOTLOADER (built in, placeholder), 30356 bytes, SHA-256 ") +
                BOOT_SHA))
        << run.out;
  }
  // A refused start sends nothing at all.
  if (c.exit == 2) {
    EXPECT_EQ(sim.Line().ReceivedBytes(), 0u);
  }
  // The user's files: the destination changes only when a receive is whole,
  // and a listing called bitmap.bin is never written over.
  std::string same = c.same;
  const std::string a = same.substr(0, same.find('=')), b = same.substr(same.find('=') + 1);
  if (a != "out.bin") {
    EXPECT_EQ(ReadFile(files / "out.bin"), OLD);
  }
  EXPECT_EQ(ReadFile(files / "bitmap.bin"), USER_BITMAP);
  EXPECT_EQ(ReadFile(files / "mine.bin.part"), MINE);
  EXPECT_EQ(std::filesystem::read_symlink(files / "full.bin.part"), "/dev/full");
  EXPECT_EQ(std::filesystem::read_symlink(files / "link.bin"), "real/secret.bin");
  using std::filesystem::perms;
  EXPECT_EQ(std::filesystem::status(files / "real/secret.bin").permissions(), perms::owner_read);
  // A private file's part is never readable by others, not even while it comes.
  if (Exists(files / "real/secret.bin.part")) {
    EXPECT_EQ(std::filesystem::status(files / "real/secret.bin.part").permissions(),
              perms::owner_read | perms::owner_write);
  }
  if (b == "missing") {
    EXPECT_FALSE(Exists(files / a)) << a;
  }
  if (same.empty() || b == "missing") return;
  const std::string expected = ReadFile(b[0] == '/' ? b : files / b);
  EXPECT_TRUE(Exists(b[0] == '/' ? b : files / b)) << b;
  // The readout keeps a received image once the line has been quiet a moment.
  EXPECT_TRUE(WaitFor([&] { return Exists(files / a) && ReadFile(files / a) == expected; }, 5))
      << a << " differs from " << b << ": " << ReadFile(files / a).size() << " of "
      << expected.size() << " bytes";
}

INSTANTIATE_TEST_SUITE_P(JobsAndFaults, CliTable, ::testing::ValuesIn(kCases), [](const auto& row) {
  return RowName(row.index, std::string(row.param.args) + " " + row.param.sim);
});

// An NLEC line longer than a packet: a 1,000-character line goes out as
// pieces of 511 and 490 characters (its line end in the second), a line of
// exactly 511 as 511 and its line end alone; no frame either way carries
// more than 512 data bytes, and the table comes back byte for byte.
TEST(CliNlec, LongLinesGoInPiecesAndComeBackByteForByte) {
  Files files;
  std::string thousand;
  for (int i = 0; i < 1000; ++i) thousand += static_cast<char>('0' + i % 10);
  const std::string table = "short 1\r\n" + thousand + "\r\n" + std::string(511, 'y') + "\r\nend\r\n";
  WriteFile(files / "long.txt", table);
  Sim sim("", files.dir.path);
  Result sent = RunQuillon("-p " + sim.Path() + " nlec send long.txt", files.dir.path);
  ASSERT_EQ(sent.code, 0) << sent.err;
  Result got = RunQuillon("-p " + sim.Path() + " nlec get back.txt", files.dir.path);
  ASSERT_EQ(got.code, 0) << got.err;
  EXPECT_EQ(ReadFile(files / "back.txt"), table);
  std::vector<int> lines, answers;
  for (const auto& e : sim.Line().transcript().Entries()) {
    if (e.kind != "frame") continue;
    EXPECT_LE(e.len, 512) << e.dir << " " << e.cmd;
    if (e.dir == "rx" && e.cmd == 6) lines.push_back(e.len);
    if (e.dir == "tx" && (e.cmd == 17 || e.cmd == 18)) answers.push_back(e.len);
  }
  EXPECT_EQ(lines, std::vector<int>({8, 511, 490, 511, 1, 4}));
  EXPECT_EQ(answers, std::vector<int>({7, 511, 489, 511, 0, 3}));
}

// The terminal guide as a person drives it: Back on every page that has one
// (none on page 1), then the bootloader and the software each to page 6.
TEST(CliGuide, BothImagesToPageSixWithBackOnEveryPage) {
  Files files;
  Sim sim("--mode boot", files.dir.path);
  //               1  1->2 2->1 1->2 2->3 3->2 2->3 3->4 4->3 3->4 4->6 6->3 3->4 4->6 close
  WriteFile(files / "keys", "b\n\nb\n\n\nb\n\nl\nb\nl\n\nb\ns\n\nq\n");
  Child guide(QuillonArgs("-p " + sim.Path() + " guide --allow-placeholder"), files.dir.path,
              files / "keys");
  ASSERT_TRUE(guide.Wait(60)) << guide.Err();
  EXPECT_EQ(guide.code, 0) << guide.Err();
  std::vector<std::string> titles;
  std::stringstream out(guide.Out());
  for (std::string line; std::getline(out, line);) {
    if (line.rfind("STEP ", 0) == 0 || line.rfind("Download ", 0) == 0) titles.push_back(line);
  }
  const std::string one = "STEP 1 - Connecting the USB Cable", two = "STEP 2 - Readying the Quillon",
                    three = "STEP 3 - Selecting the Download",
                    boot = "STEP 4 - Downloading the Bootloader",
                    soft = "STEP 4 - Downloading the Software", busy = "Download in Progress",
                    done = "Download Complete";
  EXPECT_EQ(titles, std::vector<std::string>({one, one, two, one, two, three, two, three, boot, three,
                                              boot, busy, done, three, soft, busy, done}))
      << guide.Out();
  EXPECT_TRUE(Has(guide.Out(), "number of data bytes transmitted (30356)")) << guide.Out();
  EXPECT_TRUE(Has(guide.Out(), "number of data bytes transmitted (4759532)")) << guide.Out();
  EXPECT_TRUE(Has(guide.Out(), "Press BACK if you want to load the software."));
  EXPECT_TRUE(Has(guide.Out(), "Press CLOSE to exit this program."));
  EXPECT_TRUE(Has(guide.Err(), "[s] Software  [l] Bootloader  [b] Back  [q] Close"));
  EXPECT_EQ(sim.Line().ReceivedBytes(), 30356u + 4759532u);
}

// A readout that goes away during a transfer, a monitor or an erase: the
// run ends within 2 s of it, says why, and does not spin meanwhile.
struct HangUp {
  const char* args;
  const char* sim;
  int closeAt;  // the test closes the line once the readout got this many bytes; -1: the readout
                // does
};

std::ostream& operator<<(std::ostream& os, const HangUp& h) {
  return os << h.args << " / sim " << h.sim;
}

class HangUpTable : public ::testing::TestWithParam<HangUp> {};

TEST_P(HangUpTable, EndsWithinTwoSecondsWithoutSpinning) {
  const HangUp& h = GetParam();
  Files files;
  Sim sim(h.sim, files.dir.path);
  const std::string path = sim.Path();
  Child child(QuillonArgs("-p " + path + " " + h.args), files.dir.path);
  Clock::time_point gone;
  if (h.closeAt < 0) {
    ASSERT_TRUE(WaitFor([&] { return sim.Line().HungUp(); }, 10));
    gone = Clock::now();
  } else {
    ASSERT_TRUE(WaitFor(
        [&] {
          return child.HasOpen(path) &&
                 sim.Line().ReceivedBytes() >= static_cast<uint64_t>(h.closeAt);
        },
        10));
    sim.Close();
    gone = Clock::now();
  }
  ASSERT_TRUE(child.Wait(10));
  EXPECT_LT(std::chrono::duration<double>(child.ended - gone).count(), 3.5);
  EXPECT_EQ(child.code, 1);
  EXPECT_TRUE(Has(child.Err(), BAD_PORT)) << child.Err();
  EXPECT_LT(child.cpuSeconds, 0.5);
  EXPECT_EQ(ReadFile(files / "out.bin"), OLD);
}

INSTANTIATE_TEST_SUITE_P(
    Jobs, HangUpTable,
    ::testing::Values(HangUp{"receive program BIG out.bin", "--baud 9600 --hangup-after 150", -1},
                      HangUp{"monitor", "", 0},
                      HangUp{"erase --yes", "--mode boot --erase-delay 60000", 2}),
    [](const auto& row) { return RowName(row.index, row.param.args); });

TEST(CliInterrupt, EndsAReceiveWithin1sKeepingThePartAndTheDestination) {
  // Two attempts, each interrupted: the second keeps its own part and
  // leaves the first one's as it was.
  Files files;
  std::string kept;
  for (int signal : {SIGINT, SIGTERM}) {
    SCOPED_TRACE(signal);
    Sim sim("--baud 9600", files.dir.path);
    Child child(QuillonArgs("-p " + sim.Path() + " receive program BIG out.bin"), files.dir.path);
    ASSERT_TRUE(WaitFor([&] { return sim.Line().ReceivedBytes() > 100; }, 10));
    ::kill(child.pid, signal);
    const auto sent = Clock::now();
    ASSERT_TRUE(child.Wait(5));
    EXPECT_LT(std::chrono::duration<double>(child.ended - sent).count(), 1.0);
    EXPECT_EQ(child.code, 130);
    EXPECT_EQ(ReadFile(files / "out.bin"), OLD);
    const std::string name = kept.empty() ? "out.bin.part" : "out.bin.1.part";
    const std::string part = ReadFile(files / name);
    EXPECT_GT(part.size(), 0u);
    EXPECT_EQ(part, ReadFile(files / "store/BIG").substr(0, part.size()));
    EXPECT_TRUE(Has(child.Err(), name)) << child.Err();
    if (!kept.empty()) {
      EXPECT_EQ(ReadFile(files / "out.bin.part"), kept);
    }
    kept = part;
  }
}

// A download stopped half way says how many bytes the port took: never
// fewer than the readout holds.
TEST(CliInterrupt, ADownloadReportsAtLeastTheBytesTheReadoutGot) {
  Files files;
  Sim sim("--mode boot --baud 115200", files.dir.path);
  Child child(QuillonArgs("-p " + sim.Path() + " download --allow-placeholder bootloader"),
              files.dir.path);
  ASSERT_TRUE(WaitFor([&] { return sim.Line().ReceivedBytes() > 5000; }, 10));
  ::kill(child.pid, SIGINT);
  ASSERT_TRUE(child.Wait(10));
  EXPECT_EQ(child.code, 130);
  const std::string err = child.Err();
  const size_t at = err.find("at least ");
  ASSERT_NE(at, std::string::npos) << err;
  const uint64_t reported = std::stoull(err.substr(at + 9));
  // The line is quiet once the last accepted byte has arrived.
  uint64_t got = 0;
  WaitFor(
      [&] {
        const uint64_t now = sim.Line().ReceivedBytes();
        return std::exchange(got, now) == now;
      },
      3);
  EXPECT_GE(reported, got) << err;
  EXPECT_TRUE(Has(err, "bytes reached the readout; its display shows the exact count")) << err;
}

// A reader that goes away (| head -1) does not stop the flash: the image
// arrives whole and the job's own result is the exit code.
TEST(CliClosedOutput, TheDownloadGoesOnAndEndsDone) {
  Files files;
  Sim sim("--mode boot --baud 115200", files.dir.path);
  const std::string command = std::string(QUILLON_PROGRAM) + " -p " + sim.Path() +
                              " --json download --allow-placeholder bootloader | head -1";
  Child child({"/bin/bash", "-o", "pipefail", "-c", command}, files.dir.path);
  ASSERT_TRUE(child.Wait(20));
  EXPECT_EQ(child.code, 0) << child.Err();
  EXPECT_TRUE(Has(child.Out(), "\"sha256\":\"") && Has(child.Out(), BOOT_SHA)) << child.Out();
  EXPECT_TRUE(WaitFor(
      [&] {
        return ReadFile(files / "image.bin") == ReadFile(QUILLON_IMAGES "ZYN_BOOTLOADER.bin");
      },
      5));
}

// The terminal's guide: Enter, Enter, l (bootloader), Enter sends; a
// placeholder only with --allow-placeholder, named before it goes.
TEST(CliGuide, SendsAPlaceholderOnlyWhenAllowed) {
  for (const std::string allow : {"", " --allow-placeholder"}) {
    Files files;
    Sim sim("--mode boot", files.dir.path);
    const std::string command = "printf '\\n\\nl\\n\\nq\\n' | " + std::string(QUILLON_PROGRAM) +
                                " -p " + sim.Path() + " guide" + allow;
    Child child({"/bin/bash", "-c", command}, files.dir.path);
    ASSERT_TRUE(child.Wait(20));
    EXPECT_EQ(child.code, 0) << child.Err();
    EXPECT_EQ(Has(child.Err(), "ZYN_BOOTLOADER is a placeholder"), allow.empty()) << child.Err();
    EXPECT_EQ(Has(child.Out(), BOOT_SHA), !allow.empty()) << child.Out();
    const std::string image = ReadFile(QUILLON_IMAGES "ZYN_BOOTLOADER.bin");
    EXPECT_TRUE(
        WaitFor([&] { return ReadFile(files / "image.bin") == (allow.empty() ? "" : image); }, 5));
  }
}

// A run killed outright cannot remove its private directory (the bitmap's);
// the next run does, and leaves the directory of a run still going.
TEST(CliKilled, ThePrivateDirectoryOfAKilledRunGoesAtTheNextStart) {
  Files files;
  TempDir tmp;
  const std::string live = tmp / ("quillon-" + std::to_string(::getpid()) + "-1");
  std::filesystem::create_directory(live);
  ::setenv("TMPDIR", tmp.path.c_str(), 1);
  auto left = [&](pid_t pid) {
    const std::string prefix = "quillon-" + std::to_string(pid) + "-";
    int count = 0;
    for (const auto& entry : std::filesystem::directory_iterator(tmp.path))
      count += entry.path().filename().string().rfind(prefix, 0) == 0;
    return count;
  };
  Sim slow("--baud 1200", files.dir.path);
  Child child(QuillonArgs("-p " + slow.Path() + " send bitmap listing.txt"), files.dir.path);
  ASSERT_TRUE(WaitFor([&] { return slow.Line().ReceivedBytes() > 0; }, 10));
  const pid_t killed = child.pid;
  ::kill(killed, SIGKILL);
  ASSERT_TRUE(child.Wait(5));
  EXPECT_EQ(left(killed), 1);
  Sim sim("", files.dir.path);
  EXPECT_EQ(RunQuillon("-p " + sim.Path() + " test", files.dir.path).code, 0);
  ::unsetenv("TMPDIR");
  EXPECT_EQ(left(killed), 0);
  EXPECT_TRUE(Exists(live));
}

// Three readouts at once, each with the whole image, the JSON well formed;
// two readouts' settings, each in a file of its own; a run where one of two
// ports fails; a port that is not there.
TEST(CliManyReadouts, EachReadoutGetsItsOwnWholeRunAndTheExitCodeSumsThemUp) {
  Files files;
  TempDir dirs[3];
  std::vector<std::unique_ptr<Sim>> sims;
  std::string ports;
  for (auto& dir : dirs) {
    sims.push_back(std::make_unique<Sim>("--mode boot", dir.path));
    ports += " -p " + sims.back()->Path();
  }
  Result run =
      RunQuillon(ports + " --json download --allow-placeholder bootloader", files.dir.path);
  EXPECT_EQ(run.code, 0) << run.err;
  const std::string image = ReadFile(QUILLON_IMAGES "ZYN_BOOTLOADER.bin");
  for (auto& dir : dirs)
    EXPECT_TRUE(WaitFor([&] { return ReadFile(dir / "image.bin") == image; }, 5));
  WriteFile(files / "events.json", run.out);
  // Every line is one JSON object; each port starts once and ends done once.
  const char* check =
      "import hashlib, json, sys\n"
      "events = [json.loads(line) for line in open(sys.argv[1])]\n"
      "for port in sys.argv[3:]:\n"
      "    mine = [e for e in events if e.get('port') == port]\n"
      "    assert [e['event'] for e in mine].count('start') == 1, port\n"
      "    assert [e.get('outcome') for e in mine if e['event'] == 'result'] == ['done'], port\n"
      "    start = [e for e in mine if e['event'] == 'start'][0]\n"
      "    assert start['sha256'] == hashlib.sha256(open(sys.argv[2], 'rb').read()).hexdigest()\n"
      "    assert (start['image'], start['size'], start['placeholder']) == ('ZYN_BOOTLOADER', "
      "30356, True)\n"
      "assert [e['event'] for e in events].count('end') == 1 and events[-1] == dict(events[-1], "
      "event='end', exit=0)\n";
  WriteFile(files / "check.py", check);
  std::vector<std::string> python{"/usr/bin/env", "python3", "check.py", "events.json",
                                  QUILLON_IMAGES "ZYN_BOOTLOADER.bin"};
  for (auto& sim : sims) python.push_back(sim->Path());
  Child checker(python, files.dir.path);
  ASSERT_TRUE(checker.Wait(20));
  EXPECT_EQ(checker.code, 0) << checker.Err() << run.out;

  // One of two readouts goes away: exit 1 and the table of every port.
  Sim gone("--mode boot --hangup-after 1000", files.dir.path);
  run = RunQuillon(
      "-p " + sims[0]->Path() + " -p " + gone.Path() + " --progress bars download --allow-placeholder bootloader",
      files.dir.path);
  EXPECT_EQ(run.code, 1);
  ASSERT_NE(run.err.find("PORT"), std::string::npos) << run.err;
  std::stringstream table(run.err.substr(run.err.find("PORT")));
  std::string header, first, second;
  std::getline(table, header), std::getline(table, first), std::getline(table, second);
  // Rows name the ports by short labels (pts/N) and fit 80 columns.
  EXPECT_TRUE(Has(header, "OUTCOME") && Has(first, sims[0]->Path().substr(5)) && Has(first, "done"))
      << run.err;
  EXPECT_TRUE(Has(second, gone.Path().substr(5)) && Has(second, "failed")) << run.err;
  std::stringstream rows(run.err.substr(run.err.find("PORT")));
  for (std::string line; std::getline(rows, line);) EXPECT_LT(line.size(), 80u) << line;

  std::vector<std::unique_ptr<Sim>> readouts;
  for (int i = 0; i < 2; ++i) {
    readouts.push_back(std::make_unique<Sim>("", dirs[i].path));
    WriteFile(dirs[i] / "store/settings.bin", RandomBytes(200, 10 + i));
  }
  run = RunQuillon(
      "-p " + readouts[0]->Path() + " -p " + readouts[1]->Path() + " receive settings out.bin",
      files.dir.path);
  EXPECT_EQ(run.code, 0) << run.err;
  for (int i = 0; i < 2; ++i) {
    std::string tag = readouts[i]->Path().substr(5);  // /dev/pts/N: out-pts-N.bin
    std::replace(tag.begin(), tag.end(), '/', '-');
    EXPECT_EQ(ReadFile(files / ("out-" + tag + ".bin")), ReadFile(dirs[i] / "store/settings.bin"));
  }
  EXPECT_EQ(ReadFile(files / "out.bin"), OLD);

  EXPECT_EQ(RunQuillon("-p /dev/quillon-none test", files.dir.path).code, 3);
  EXPECT_TRUE(
      Has(RunQuillon("--version", files.dir.path).out,
          "ZYN_BOOTLOADER  30356 bytes  SHA-256 " + std::string(BOOT_SHA) + "  placeholder"));
  run = RunQuillon("-p /dev/null receive settings " + std::string(252, 'a'), files.dir.path);
  EXPECT_TRUE(run.code == 2 && Has(run.err, "the name of its part file")) << run.err;
  run = RunQuillon("-p /dev/null test", files.dir.path);
  EXPECT_TRUE(run.code == 3 && Has(run.err, "/dev/null: it is not a serial port")) << run.err;
}

// Ports whose names end alike would share one file, and one port named
// again through a link is one readout twice: both refused, nothing sent.
TEST(CliManyReadouts, NeverTwoPortsInOneFileNorOneReadoutTwice) {
  Files files;
  Sim readouts[2] = {Sim("", files.dir.path), Sim("", files.dir.path)};
  for (const char* dir : {"one", "two"}) std::filesystem::create_directory(files / dir);
  std::filesystem::create_symlink(readouts[0].Path(), files / "one/ttyQ");
  std::filesystem::create_symlink(readouts[1].Path(), files / "two/ttyQ");
  const uint64_t before[2] = {readouts[0].Line().ReceivedBytes(),
                              readouts[1].Line().ReceivedBytes()};
  Result run = RunQuillon("-p one/ttyQ -p two/ttyQ receive settings b.bin", files.dir.path);
  EXPECT_EQ(run.code, 2);
  EXPECT_TRUE(Has(run.err, "both receive into b-ttyQ.bin")) << run.err;
  run = RunQuillon("-p " + readouts[0].Path() + " -p one/ttyQ test", files.dir.path);
  EXPECT_EQ(run.code, 2);
  EXPECT_TRUE(Has(run.err, "are the same port")) << run.err;
  for (int i = 0; i < 2; ++i) EXPECT_EQ(readouts[i].Line().ReceivedBytes(), before[i]);
  EXPECT_FALSE(Exists(files / "b-ttyQ.bin"));
}

}  // namespace
}  // namespace quillon::test
