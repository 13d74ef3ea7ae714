// Text files of the PC's kind, read and written byte for byte so the result
// is the same on every platform: lines end in CR LF on disk and in a single
// LF inside the program, and a Ctrl-Z (26) ends the text as the end of the
// file does.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

namespace quillon {

constexpr int TEXT_END_MARK = 26;

// The next character of the text, or EOF. A CR LF pair reads as one LF; a
// CR followed by anything else stays as it is. The file must be opened in
// binary mode; the reader keeps no state of its own beyond the file's one
// pushed-back character, so rewinding the file starts the text afresh.
int ReadTextChar(std::FILE* file);

// Reads the next piece: a whole line with its LF, or the next `limit`
// characters of a longer line. False at the end of the text with nothing read.
bool ReadTextPiece(std::FILE* file, size_t limit, std::string& piece);

// Writes text with every LF turned into CR LF. False when a write failed.
bool WriteText(std::FILE* file, const char* text, size_t length);

}  // namespace quillon
