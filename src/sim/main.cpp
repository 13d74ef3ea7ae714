// quillon-sim: plays the readout on a pseudo-terminal (or a given device).
// The first line on standard output is the path the host should open.

#include <CLI/CLI.hpp>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <string>

#include "sim/sim_line.h"

namespace {

using namespace quillon::sim;

SimLine* g_line = nullptr;

void OnSignal(int) {
  if (g_line != nullptr) g_line->RequestStop();
}

// What the command line gives as words or flags, made into the options once
// parsed.
struct Words {
  std::string mode = "app";
  std::string lineKind = "pty";
  std::string answerIds = "count";
  std::string resendAnswer = "copy";
  std::string fileError;
  std::string eraseResult;
  bool noErase = false;
};

void AddReadoutOptions(CLI::App& app, SimOptions& options, LineOptions& line, Words& words) {
  app.add_option("--device", line.device,
                 "Use this existing device instead of a new pseudo-terminal");
  app.add_option("--baud", line.baud,
                 "Pace both directions at N/11 bytes per second (default: unpaced)");
  app.add_option(
         "--line", words.lineKind,
         "pty: bytes pass as soon as --baud allows, with short bursts after a pause (default); "
         "usb: a USB-serial bridge: each byte takes its full line time at --baud both ways, "
         "and the readout's bytes reach the host only on 1 ms USB frame boundaries")
      ->check(CLI::IsMember({"pty", "usb"}));
  app.add_option("--mode", words.mode,
                 "app: packet protocol (default); boot: bootloader (raw image, erase)")
      ->check(CLI::IsMember({"app", "boot"}));
  app.add_option("--transcript", line.transcript,
                 "Write JSON lines {t,dir,kind,cmd,id,len,hex[,fault][,checksum_ok]} to FILE");
  app.add_option("--store", options.storeDir,
                 "Directory of the readout's files: settings.bin, program.bin, bitmap.bin, "
                 "binary.bin, nlec.txt (default: .)");
  app.add_option("--piece-size", options.pieceSize,
                 "Data bytes per file-receive piece, 1..512 (default 128)")
      ->check(CLI::Range(1, 512));
  app.add_option("--answer-delay", options.answerDelayMs,
                 "Answer each packet MS after it came (default 0), as a readout busy elsewhere");
  app.add_option(
         "--answer-ids", words.answerIds,
         "Ids of the readout's packets: count (its own counter, default), echo (the id of the "
         "host's packet answered), constant (always 1)")
      ->check(CLI::IsMember({"count", "echo", "constant"}));
  app.add_option("--resend-answer", words.resendAnswer,
                 "A packet the host resends: copy (the previous answer again, default) or new "
                 "(taken as a new request)")
      ->check(CLI::IsMember({"copy", "new"}));
}

void AddBootOptions(CLI::App& app, SimOptions& options, Words& words) {
  app.add_option("--save-image", options.saveImage,
                 "boot: write the latest image received to FILE");
  app.add_option("--expect-size", options.expectSize,
                 "boot: once an image reaches N bytes, print \"Received N bytes\" and exit");
  app.add_option("--image-gap", options.imageGapMs,
                 "boot: after this many ms of silence the next bytes begin a new image or are the "
                 "erase command, as after a return to the bootloader menu; 0: only after an erase "
                 "(default 1000)");
  app.add_option("--erase-delay", options.eraseDelayMs,
                 "boot: ms from the erase command to its answer (default 200)");
  app.add_option("--erase-quiet", options.eraseQuietMs,
                 "boot: 07 06 as the first bytes of an image, then this many ms of silence, is the "
                 "erase command; anything sooner makes them image bytes (default 50)");
  app.add_flag("--no-erase", words.noErase, "boot: never take 07 06 as the erase command");
}

void AddUnaskedOptions(CLI::App& app, SimOptions& options, Words& words) {
  app.add_option("--send-log", options.sendLog,
                 "Send a LOG packet (code 3) with TEXT (repeatable)");
  app.add_option("--send-erase-result", words.eraseResult,
                 "Send a flash-erase result packet (code 15) with TEXT");
  app.add_flag("--send-nop", options.sendNop, "Send a NOP packet (code 23)");
  app.add_option("--send-after", options.sendAfterMs,
                 "Send those packets MS after start (default: once the first bytes came, after the "
                 "answer to their frame)");
  app.add_option("--log-rate", options.logRate,
                 "From then on, send N LOG packets a second for ever (the --send-log text, else "
                 "\"log line K\")");
}

void AddFaultOptions(CLI::App& app, FaultOptions& f, Words& words) {
  app.add_option("--seed", f.seed, "Seed of the noise and split faults (default 1)");
  app.add_option("--drop-nth", f.dropNth, "Do not send answer N");
  app.add_option("--drop-every", f.dropEvery, "Do not send every Nth answer");
  app.add_option("--corrupt-checksum", f.corruptChecksum, "Send answer N with a wrong checksum");
  app.add_option("--answer-bad-checksum", f.answerBadChecksum,
                 "Answer N is code 1 (bad checksum); the packet is not taken");
  app.add_option("--answer-remote-timeout", f.answerRemoteTimeout,
                 "Answer N is code 2 (remote timeout); the packet is not taken");
  app.add_option("--noise", f.noise, "Send N noise bytes (never 7E) before each answer");
  app.add_flag("--split-writes", f.splitWrites,
               "Write each answer in up to 3 pieces at random boundaries, 2 ms apart");
  app.add_option("--stall-mid-packet", f.stallMidPacket, "Send only the first half of answer N");
  app.add_flag("--silent", f.silent, "Never answer (in boot mode: erase without answering)");
  app.add_option("--file-error", words.fileError,
                 "Answer file send and file receive starts with code 13 and TEXT");
  app.add_flag("--nlec-error", f.nlecError, "Answer NLEC send and get starts with code 8");
  app.add_option("--hangup-after", f.hangupAfter, "Close the line after N received bytes");
  app.add_flag("--oversize-header", f.oversizeHeader,
               "Before the first answer, send a header announcing 600 data bytes (no data)");
  app.add_flag("--wrong-final-checksum", f.wrongFinalChecksum,
               "Answer file-send and NLEC-send ends with the checksum plus one");
}

void ApplyWords(const CLI::App& app, const Words& words, SimOptions* options, LineOptions* line) {
  options->mode = words.mode == "boot" ? SimMode::BOOT : SimMode::APP;
  line->kind = words.lineKind == "usb" ? LineKind::USB : LineKind::PTY;
  options->eraseDetect = !words.noErase;
  options->answerIds = words.answerIds == "echo"       ? AnswerIds::ECHOED
                       : words.answerIds == "constant" ? AnswerIds::CONSTANT
                                                       : AnswerIds::COUNTER;
  options->resendAnswer = words.resendAnswer == "new" ? ResendAnswer::NEW : ResendAnswer::COPY;
  if (app.count("--file-error") > 0) options->faults.fileError = words.fileError;
  if (app.count("--send-erase-result") > 0) options->sendEraseResult = words.eraseResult;
  line->exitOnExpect = options->expectSize > 0;
}

// The store directory, made if missing; false (with a message) when it cannot be.
bool MakeStore(const std::string& dir) {
  if (dir.empty()) return true;
  std::error_code dirError;
  std::filesystem::create_directories(dir, dirError);
  if (dirError) {
    std::fprintf(stderr, "quillon-sim: %s: %s\n", dir.c_str(), dirError.message().c_str());
    return false;
  }
  return true;
}

// Opens the line, says where it is, and plays the readout until a signal, a
// hang-up or the expected image ends it.
int RunSim(const SimOptions& options, const LineOptions& line) {
  SimLine sim(options, line);
  std::string error;
  if (!sim.Open(&error)) {
    std::fprintf(stderr, "quillon-sim: %s\n", error.c_str());
    return 1;
  }
  std::printf("%s\n", sim.Path().c_str());
  std::fflush(stdout);
  sim.SetDisplay([](const std::string& text) {
    std::printf("%s\n", text.c_str());
    std::fflush(stdout);
  });
  sim.SetNotice(
      [](const std::string& text) { std::fprintf(stderr, "quillon-sim: %s\n", text.c_str()); });

  g_line = &sim;
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);

  sim.Run();
  g_line = nullptr;
  if (sim.Finished()) {
    std::printf("Received %llu bytes\n", static_cast<unsigned long long>(sim.ImageBytes()));
    std::fflush(stdout);
  }
  if (sim.HungUp()) std::fprintf(stderr, "quillon-sim: line closed\n");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  SimOptions options;
  LineOptions line;
  Words words;
  CLI::App app{
      "quillon-sim: simulates the Quillon readout on a pseudo-terminal.\n"
      "Prints the path to open as the first line of standard output.\n"
      "Fault counts N number the readout's answers from 1 (repeated answers count)."};
  AddReadoutOptions(app, options, line, words);
  AddBootOptions(app, options, words);
  AddUnaskedOptions(app, options, words);
  AddFaultOptions(app, options.faults, words);
  CLI11_PARSE(app, argc, argv);
  ApplyWords(app, words, &options, &line);
  if (!MakeStore(options.storeDir)) return 1;
  return RunSim(options, line);
}
