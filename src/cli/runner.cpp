// One command line run: checks first, then the job on every port at once.
#include "cli/runner.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <thread>

#include "cli/cli_platform.h"
#include "cli/image_identity.h"
#include "cli/json_out.h"
#include "cli/labels.h"
#include "cli/port_checks.h"
#include "cli/port_choice.h"
#include "cli/port_run.h"
#include "cli/progress.h"
#include "cli/records.h"
#include "cli/text_escape.h"
#include "core/engine/image_source.h"
#include "core/engine/job_files.h"
#include "platform/host_os.h"

namespace quillon::cli {

namespace fs = std::filesystem;

namespace {

// The runs under way, for the interrupt.
std::mutex g_runsMutex;
std::vector<PortRun*> g_runs;

// One line on stdout or stderr, its control characters escaped.
void PrintEscaped(std::FILE* stream, const std::string& text) {
  std::fprintf(stream, "%s\n", EscapeControls(text).c_str());
  std::fflush(stream);
}

int Usage(const std::string& why) { return Refuse(EXIT_USAGE, why); }

// A usage error of several lines of the program's own.
int UsageLines(const std::string& why) {
  size_t start = 0;
  for (size_t end; (end = why.find('\n', start)) != std::string::npos; start = end + 1) {
    PrintEscaped(stderr, (start == 0 ? "quillon: " : "") + why.substr(start, end - start));
  }
  PrintEscaped(stderr, (start == 0 ? "quillon: " : "") + why.substr(start));
  if (JsonOutput()) {
    JsonEvent("\"event\":\"error\",\"text\":" + JsonString(why) + ",\"exit\":" +
              std::to_string(EXIT_USAGE));
  }
  return EXIT_USAGE;
}

// Why a file cannot be a source (empty when it can): it must be a regular
// file the header's signed 32-bit count can announce.
std::string CheckSource(const std::string& path, uintmax_t* size) {
  std::error_code error;
  fs::file_status status = fs::status(path, error);
  if (error || !fs::exists(status)) return path + ": no such file";
  if (fs::is_directory(status)) return path + " is a directory";
  if (!fs::is_regular_file(status)) return path + " is not a regular file";
  *size = fs::file_size(path, error);
  if (error) return path + ": " + error.message();
  if (*size > static_cast<uintmax_t>(INT32_MAX)) {
    return path + " is too large: " + std::to_string(*size) + " bytes, at most 2147483647 can be sent";
  }
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return path + ": " + std::strerror(errno);
  std::fclose(f);
  return {};
}

// Why the part file of a received file cannot be made, in the words of its
// real cause: a missing file in an existing directory means none can be made there.
std::string DestinationError(const std::string& path, const std::string& dir, int code) {
  if (code == ENAMETOOLONG) {
    return path + ": cannot be written: the name of its part file " + path + PART_SUFFIX +
           " is too long";
  }
  if (code == ENOENT) return path + ": cannot be written: no file can be created in " + dir;
  return path + ": cannot be written (" + std::strerror(code) + ")";
}

// Why a received file cannot go to path (empty when it can). A file of a
// name of the program's own is made beside the file replaced and removed
// again; no file of the user's (a .part of theirs, a link) is opened.
std::string CheckDestination(const std::string& path) {
  std::error_code error;
  if (fs::is_directory(path, error)) return path + " is a directory";
  const std::string target = ReplacedFile(path);
  if (target.empty()) return path + ": too many levels of symbolic links";
  fs::path dir = fs::path(target).parent_path();
  if (dir.empty()) dir = ".";
  if (!fs::is_directory(dir, error)) return path + ": no such directory " + dir.string();
  // The longest name a directory entry takes on the file systems met here.
  constexpr size_t NAME_MAX_BYTES = 255;
  if (fs::path(target).filename().string().size() + std::strlen(".99") + std::strlen(PART_SUFFIX) >
      NAME_MAX_BYTES) {
    return DestinationError(path, dir.string(), ENAMETOOLONG);
  }
  const fs::path probe =
      dir / (".quillon-" + std::to_string(platform::CurrentProcessId()) + ".probe");
  std::FILE* f = platform::CreateNewFile(probe.string());
  if (!f) return DestinationError(path, dir.string(), errno);
  std::fclose(f);
  fs::remove(probe, error);
  if (error) return probe.string() + ": cannot be removed (" + error.message() + ")";
  return {};
}

// The destination of one port among several: the port's name is added.
std::string DestinationFor(const std::string& file, const std::string& port, bool several) {
  if (!several) return file;
  std::string tag = port.rfind("/dev/", 0) == 0 ? port.substr(5) : ShortName(port);
  for (char& c : tag) {
    if (c == '/' || c == '\\' || c == ':') c = '-';
  }
  fs::path p(file);
  fs::path name = p.stem().string() + "-" + tag + p.extension().string();
  return (p.parent_path() / name).string();
}

// download: the image, from --image or built in, named before it is sent.
int PrepareDownload(const Options& o, ImageSource* images, JobSpec& job,
                    std::vector<uint8_t>& image) {
  // The bootloader at the guide's rate is the bootloader command's run;
  // at 38400 it is the image command's, whatever the image.
  job.downloadRun = o.firmware == Firmware::BOOTLOADER && o.baud == 115200
                        ? DownloadRun::BOOTLOADER_UPDATE
                        : DownloadRun::GUIDED_IMAGE;
  const char* name = o.firmware == Firmware::BOOTLOADER ? IMAGE_BOOTLOADER : IMAGE_SOFTWARE;
  if (!o.image.empty()) {
    uintmax_t size = 0;
    std::string why = CheckSource(o.image, &size);
    if (!why.empty()) return Usage(why);
    if (size == 0) return Usage(o.image + " is empty; nothing to send");
    if (!ReadWholeFile(o.image, image)) return Usage(o.image + ": cannot be read");
  } else {
    const uint8_t* data = nullptr;
    size_t size = 0;
    if (!images || images->Lookup(name, &data, &size) != ImageLookup::FOUND || size == 0) {
      return Usage(std::string("this build carries no ") + FirmwareName(o.firmware) +
                   " image; give one with --image");
    }
    image.assign(data, data + size);
  }
  const ImageIdentity identity =
      IdentifyImage(o.image.empty() ? name : o.image, o.image.empty(), image);
  // Before any port is opened: a placeholder never reaches a readout unasked.
  if (identity.placeholder && !o.allowPlaceholder) return UsageLines(PlaceholderRefusal(name));
  job.image = &image;
  job.startFields = IdentityJsonFields(identity);
  if (!o.json) PrintEscaped(stdout, IdentityLine(identity));
  return EXIT_DONE;
}

// send bitmap: the listing's bytes, and what was odd about it.
int CheckBitmapListing(const Options& o) {
  BitmapReport report;
  std::string error;
  if (!InspectBitmapListing(o.file, &report, &error)) return Usage(error);
  for (const auto& warning : report.warnings)
    PrintEscaped(stderr, "quillon: warning: " + o.file + ": " + warning);
  if (report.bytes == 0 && !o.allowEmpty) return Usage("no byte values found in " + o.file);
  if (!o.quiet && !o.json)
    PrintEscaped(stdout,
                 "Converted " + std::to_string(report.bytes) + " bytes from " + o.file + ".");
  return EXIT_DONE;
}

// nlec send: the lines the readout gets. Text mode ends at a NUL (per
// piece) or a Ctrl-Z: say so when the table goes on after one.
void CountTableLines(const Options& o) {
  std::ifstream in(o.file, std::ios::binary);
  std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  size_t cut = all.find_first_of(std::string("\0\x1a", 2));
  if (cut != std::string::npos && cut + 1 < all.size()) {
    PrintEscaped(stderr, std::string("quillon: warning: ") + o.file + " holds a " +
                             (all[cut] == 26 ? "Ctrl-Z" : "NUL") + " at byte " +
                             std::to_string(cut) + "; the readout gets less than the file holds");
  }
  size_t end = all.find('\x1a');
  std::string text = all.substr(0, end);
  size_t lines = 0;
  for (char ch : text) lines += ch == '\n';
  if (!text.empty() && text.back() != '\n') ++lines;
  if (!o.quiet && !o.json) PrintEscaped(stdout, std::to_string(lines) + " lines will be sent.");
}

// send, nlec send: the file to send.
int PrepareSource(const Options& o) {
  uintmax_t size = 0;
  std::string why = CheckSource(o.file, &size);
  if (!why.empty()) return Usage(why);
  if (size == 0 && !o.allowEmpty) return Usage(o.file + " is empty; nothing to send");
  if (o.command == Command::SEND && o.kind == FILE_KIND_BITMAP) return CheckBitmapListing(o);
  if (o.command == Command::NLEC_SEND) CountTableLines(o);
  return EXIT_DONE;
}

// receive program: the name the readout knows the program by.
int CheckProgramName(const Options& o) {
  if (o.programName.empty()) return Usage("a program name is needed");
  if (o.programName.size() > PROGRAM_NAME_MAX) {
    return Usage("the program name \"" + o.programName + "\" is " +
                 std::to_string(o.programName.size()) + " bytes long; the readout takes at most " +
                 std::to_string(PROGRAM_NAME_MAX) + " bytes");
  }
  return EXIT_DONE;
}

// The checks that need no port, and the job they describe. EXIT_DONE when
// the job may go ahead.
int Prepare(const Options& o, ImageSource* images, JobSpec& job, std::vector<uint8_t>& image) {
  job.command = o.command;
  job.name = o.name;
  job.firmware = o.firmware;
  job.kind = o.kind;
  job.file = o.file;
  job.programName = o.programName;
  job.baud = o.baud;
  switch (o.command) {
    case Command::DOWNLOAD:
      return PrepareDownload(o, images, job, image);
    case Command::SEND:
    case Command::NLEC_SEND:
      return PrepareSource(o);
    case Command::RECEIVE:
      return o.kind == FILE_KIND_PROGRAM ? CheckProgramName(o) : EXIT_DONE;
    default:
      return EXIT_DONE;
  }
}

}  // namespace

bool ReadWholeFile(const std::string& path, std::vector<uint8_t>& bytes) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

void InterruptAllRuns() {
  std::lock_guard<std::mutex> lock(g_runsMutex);
  for (PortRun* run : g_runs) run->Interrupt();
}

namespace {

bool Receives(const Options& o) {
  return o.command == Command::RECEIVE || o.command == Command::NLEC_GET;
}

// What the job sends, named by its digest for the records.
Subject SubjectOf(const Options& o, const std::vector<uint8_t>& image) {
  if (o.command == Command::DOWNLOAD) {
    const std::string name = !o.image.empty()                     ? o.image
                             : o.firmware == Firmware::BOOTLOADER ? IMAGE_BOOTLOADER
                                                                  : IMAGE_SOFTWARE;
    return IdentifyBytes("image", name, image.data(), image.size());
  }
  if (o.command == Command::SEND || o.command == Command::NLEC_SEND)
    return IdentifyFile("file", o.file);
  return {};
}

Reporter::Mode ModeFor(const Options& o, const std::vector<std::string>& ports,
                       const std::vector<std::string>& labels) {
  Reporter::Mode mode;
  mode.json = o.json;
  mode.quiet = o.quiet;
  mode.verbose = o.verbose;
  mode.inPlace = o.progress == "bars" || (o.progress == "auto" && StderrIsTerminal());
  mode.progress = o.progress != "none";
  mode.prefix = ports.size() > 1;
  mode.width = TerminalWidth();
  mode.ports = ports;
  for (size_t i = 0; i < ports.size(); ++i) mode.labels[ports[i]] = labels[i];
  return mode;
}

// The erase's question; EXIT_DONE when answered yes.
int Confirm(const Options& options, std::atomic<bool>& interrupted) {
  if (options.command != Command::ERASE || options.yes) return EXIT_DONE;
  if (!StdinIsTerminal())
    return Usage("erase asks for confirmation and no one is at the terminal; give --yes to erase");
  std::fprintf(stderr, "Are you sure you want to erase the flash? [y/N] ");
  std::fflush(stderr);
  auto answer = ReadLine(interrupted);
  if (interrupted.load()) return EXIT_INTERRUPTED;
  if (!answer || (*answer != "y" && *answer != "Y" && *answer != "yes")) {
    PrintEscaped(stderr, "Not erased.");
    return EXIT_DECLINED;
  }
  return EXIT_DONE;
}

// The job on every port at once; the exit code sums them up.
int RunPorts(const Options& options, const JobSpec& job, const std::vector<std::string>& ports,
             const std::vector<std::string>& destinations, Reporter& reporter,
             std::atomic<bool>& interrupted) {
  std::vector<std::unique_ptr<PortRun>> runs;
  for (size_t i = 0; i < ports.size(); ++i) {
    runs.push_back(
        std::make_unique<PortRun>(options, job, ports[i], destinations[i], reporter, interrupted));
  }
  {
    std::lock_guard<std::mutex> lock(g_runsMutex);
    for (auto& run : runs) g_runs.push_back(run.get());
  }
  if (interrupted.load()) InterruptAllRuns();
  std::vector<RunSummary> summaries(runs.size());
  std::vector<std::thread> threads;
  for (size_t i = 0; i < runs.size(); ++i) {
    threads.emplace_back([&, i] { summaries[i] = runs[i]->Run(); });
  }
  for (auto& t : threads) t.join();
  {
    std::lock_guard<std::mutex> lock(g_runsMutex);
    g_runs.clear();
  }
  runs.clear();
  if (ports.size() == 1) return summaries[0].exit;
  bool allDone = true;
  for (const auto& s : summaries) allDone = allDone && s.exit == EXIT_DONE;
  reporter.SummaryTable(summaries);
  return allDone ? EXIT_DONE : interrupted.load() ? EXIT_INTERRUPTED : EXIT_FAILED;
}

}  // namespace

int Run(const Options& options, ImageSource* images, std::atomic<bool>& interrupted) {
  if (options.command == Command::PORTS) return ListAllPorts(options.json);
  if (options.command == Command::GUIDE) {
    if (options.json) return Usage("the guide asks a person at the terminal; it has no --json");
    return RunGuide(options, images, interrupted);
  }
  JobSpec job;
  std::vector<uint8_t> image;
  int code = Prepare(options, images, job, image);
  if (code != EXIT_DONE) return code;
  // The records' files before any wait for ports: a typo is told at once.
  Records records;
  std::string unwritable;
  if (!records.Open(options.logFile, options.reportFile, &unwritable)) return Usage(unwritable);
  std::vector<std::string> ports;
  code = ResolvePorts(options, interrupted, ports);
  if (code != EXIT_DONE) return code;
  const std::string twice = CheckOneNamePerDevice(ports);
  if (!twice.empty()) return Usage(twice);
  job.several = ports.size() > 1;
  const std::vector<std::string> labels = ShortLabels(ports);
  const std::vector<PortInfo> known = ListPorts();
  std::vector<std::string> destinations;
  std::vector<RecordPort> recordPorts;
  for (size_t i = 0; i < ports.size(); ++i) {
    destinations.push_back(DestinationFor(options.file, ports[i], job.several));
    if (Receives(options)) {
      std::string why = CheckDestination(destinations.back());
      if (!why.empty()) return Usage(why);
    }
    recordPorts.push_back(
        RecordPort{ports[i], labels[i], IdentifyPort(ports[i], known), destinations[i]});
  }
  if (Receives(options)) {
    const std::string shared = CheckDistinctDestinations(ports, destinations);
    if (!shared.empty()) return Usage(shared);
  }
  code = Confirm(options, interrupted);
  if (code != EXIT_DONE) return code;
  records.SetRun(job.name, SubjectOf(options, image), std::move(recordPorts), Receives(options));
  Reporter reporter(ModeFor(options, ports, labels));
  reporter.SetRecords(&records);
  code = RunPorts(options, job, ports, destinations, reporter, interrupted);
  reporter.End(code);
  return code;
}

}  // namespace quillon::cli
