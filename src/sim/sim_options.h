// What the simulated readout does, and which faults it makes on purpose.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace quillon::sim {

enum class SimMode { APP, BOOT };

// The ids of the readout's packets are its own affair: the host never
// compares them. Each way a readout might number them can be played.
enum class AnswerIds {
  COUNTER,   // its own counter, one up for every packet it sends
  ECHOED,    // the id of the host's packet it answers
  CONSTANT,  // always the same id
};

// A packet the host sends again (same id, command and checksum) soon after
// the readout answered it: the readout repeats its answer, or takes the
// packet as a new request (a chunk stored twice, the next piece served).
enum class ResendAnswer { COPY, NEW };

// Faults counted in answers: every packet the readout answers counts one,
// a repeated answer to a resent packet included, starting at 1. In boot mode
// the erase's answer is the one answer (silent, drop, corrupt, stall, noise
// and split apply to it).
struct FaultOptions {
  uint32_t seed = 1;
  uint32_t dropNth = 0;              // that answer is not sent
  uint32_t dropEvery = 0;            // every Nth answer is not sent
  uint32_t corruptChecksum = 0;      // that answer goes out with a wrong checksum field
  uint32_t answerBadChecksum = 0;    // instead of that answer: code 1, packet not taken
  uint32_t answerRemoteTimeout = 0;  // instead of that answer: code 2, packet not taken
  uint32_t noise = 0;                // this many noise bytes before each answer
  uint32_t stallMidPacket = 0;       // that answer stops half-way, the rest never comes
  bool splitWrites = false;          // answers written in pieces at random boundaries
  bool silent = false;               // nothing is ever answered
  std::optional<std::string> fileError;  // file send/get starts answered with code 13
  bool nlecError = false;            // NLEC starts answered with code 8
  uint64_t hangupAfter = 0;          // the line closes after this many received bytes
  bool oversizeHeader = false;       // a header announcing 600 bytes before the first answer
  bool wrongFinalChecksum = false;   // file and NLEC end checksums off by one
};

struct SimOptions {
  SimMode mode = SimMode::APP;
  std::string storeDir = ".";
  size_t pieceSize = 128;            // data bytes per file-receive piece (1..512)
  uint32_t answerDelayMs = 0;        // from a packet's arrival to its answer
  AnswerIds answerIds = AnswerIds::COUNTER;
  ResendAnswer resendAnswer = ResendAnswer::COPY;

  // Bootloader side.
  std::string saveImage;             // where the received image is written
  uint64_t expectSize = 0;           // per image; 0: none
  uint32_t eraseDelayMs = 200;       // the erase's duration before the answer
  uint32_t eraseQuietMs = 50;        // silence after 07 06 that makes it an erase
  uint32_t imageGapMs = 1000;        // silence that ends an image; 0: one image per run
  bool eraseDetect = true;

  // Packets the readout sends unasked.
  std::vector<std::string> sendLog;
  std::optional<std::string> sendEraseResult;
  bool sendNop = false;
  int64_t sendAfterMs = -1;          // <0: after the answer to the first bytes' frame
  uint32_t logRate = 0;              // LOG packets per second from then on, for ever; 0: none

  FaultOptions faults;
};

}  // namespace quillon::sim
