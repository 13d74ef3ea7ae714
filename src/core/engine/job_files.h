// What a front end needs to know of a job's files before it starts one:
// the limits of the readout's fields, where a received file is written
// until it is whole, and the bitmap listing's conversion (the command
// line checks a listing before it sends it).
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace quillon {

// The program name of a program receive is a field of 63 characters.
constexpr size_t PROGRAM_NAME_MAX = 63;
// A received file is written beside the file it replaces until it is whole,
// in a file of that name and this suffix.
constexpr const char* PART_SUFFIX = ".part";

// The file that receiving into dest replaces: dest itself, or the file its
// symbolic links lead to, so the links stay links. Empty for a loop of links.
std::string ReplacedFile(const std::string& dest);

// What the bitmap conversion made of a listing.
struct BitmapReport {
  size_t bytes = 0;
  // Lines where a digit pair was completed across other characters, or a
  // marker was cut off by the end of its piece.
  std::vector<std::string> warnings;
};

// Converts a bitmap listing (text) into bytes, with the listing's rules;
// report (may be null) gets the count and the doubtful lines.
std::string ConvertBitmapText(const std::string& text, BitmapReport* report = nullptr);
// Reads and converts a listing without sending it (the command line's checks).
bool InspectBitmapListing(const std::string& path, BitmapReport* report, std::string* error);

}  // namespace quillon
