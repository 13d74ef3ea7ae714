// Text files of the PC's kind: CR LF on disk, LF inside, Ctrl-Z ends the text.
#include "core/transfer/text_file.h"

namespace quillon {

int ReadTextChar(std::FILE* file) {
  int c = std::getc(file);
  if (c == TEXT_END_MARK) {
    // Pushed back so every later read ends here too.
    std::ungetc(c, file);
    return EOF;
  }
  if (c != '\r') return c;
  int next = std::getc(file);
  if (next == '\n') return '\n';
  if (next != EOF) std::ungetc(next, file);
  return '\r';
}

bool ReadTextPiece(std::FILE* file, size_t limit, std::string& piece) {
  piece.clear();
  while (piece.size() < limit) {
    int c = ReadTextChar(file);
    if (c == EOF) break;
    piece.push_back(static_cast<char>(c));
    if (c == '\n') break;
  }
  return !piece.empty();
}

bool WriteText(std::FILE* file, const char* text, size_t length) {
  for (size_t i = 0; i < length; ++i) {
    if (text[i] == '\n' && std::fputc('\r', file) == EOF) return false;
    if (std::fputc(static_cast<unsigned char>(text[i]), file) == EOF) return false;
  }
  return true;
}

}  // namespace quillon
