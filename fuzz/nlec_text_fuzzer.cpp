// NLEC tables are any text file the user picks: read in pieces, they give
// exactly the text (CR LF as LF, up to a Ctrl-Z), each piece a whole line or
// 511 characters of a longer one; and a table written back and read again
// is the same text.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "core/transfer/text_file.h"
#include "core/transfer/transfer_control.h"

namespace {

// The reading rule, written out plainly.
std::string Expected(const std::string& raw) {
  std::string text;
  for (size_t i = 0; i < raw.size() && raw[i] != quillon::TEXT_END_MARK; ++i) {
    if (raw[i] == '\r' && i + 1 < raw.size() && raw[i + 1] == '\n') continue;
    text += raw[i];
  }
  return text;
}

std::string ReadPieces(std::FILE* file) {
  std::string text, piece;
  while (quillon::ReadTextPiece(file, quillon::NLEC_PIECE_MAX, piece)) {
    const bool line = !piece.empty() && piece.back() == '\n';
    if (piece.empty() || piece.size() > quillon::NLEC_PIECE_MAX) std::abort();
    if (!line && piece.size() != quillon::NLEC_PIECE_MAX) {
      text += piece;
      if (quillon::ReadTextPiece(file, quillon::NLEC_PIECE_MAX, piece))
        std::abort();  // the text's end only
      return text;
    }
    text += piece;
  }
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string raw(reinterpret_cast<const char*>(data), size);
  std::FILE* file = fmemopen(raw.data(), raw.size() + 1, "rb");  // +1: fmemopen refuses 0
  if (file == nullptr) return 0;
  std::string text = ReadPieces(file);
  std::fclose(file);
  // fmemopen's extra byte is the string's terminator: a NUL at the end.
  std::string withEnd = raw + '\0';
  if (text != Expected(withEnd)) std::abort();

  char buffer[16384];
  std::FILE* out = fmemopen(buffer, sizeof buffer, "w+b");
  if (out == nullptr) return 0;
  if (quillon::WriteText(out, text.data(), text.size()) &&
      std::ftell(out) < static_cast<long>(sizeof buffer) - 1) {
    std::rewind(out);
    std::string again;
    for (int c; (c = quillon::ReadTextChar(out)) != EOF;) again += static_cast<char>(c);
    // Written with CR LF, read with LF: the same text, unless it held a Ctrl-Z
    // (which ends a text) or a CR right before an LF (which reads as a line end).
    if (text.find(static_cast<char>(quillon::TEXT_END_MARK)) == std::string::npos &&
        text.find("\r\n") == std::string::npos && again != text)
      std::abort();
  }
  std::fclose(out);
  return 0;
}
