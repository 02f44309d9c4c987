// Text encodings of the files and engine texts the player meets.
//
// "The 8-bit code page" is Windows-1252 here: the station lists and stream tags
// the player reads come from systems that use it. Inside the program every text
// is UTF-8; conversion happens only at these edges.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tw {

enum class TextEncoding {
  Ansi,     // 8-bit, Windows-1252, no byte-order mark
  Utf8Bom,  // UTF-8 with a byte-order mark
  Utf8,     // UTF-8 without a byte-order mark, as Linux editors write it
  Utf16LE,  // UTF-16 little endian with a byte-order mark
  Utf16BE,  // UTF-16 big endian with a byte-order mark
};

struct DecodedText {
  std::string utf8;  // the text without its byte-order mark
  TextEncoding encoding = TextEncoding::Ansi;
};

// Picks the encoding by byte-order mark (UTF-8, UTF-16 either order); without
// one, UTF-8 when the whole text is valid UTF-8 and holds non-ASCII bytes (a
// Windows-1252 text with accented letters is practically never valid UTF-8),
// else Ansi.
DecodedText DecodeText(std::string_view bytes);
// The inverse of DecodeText, byte-order mark included. Characters Ansi cannot
// hold become '?'; callers that must not lose text check CanEncodeAnsi first.
std::string EncodeText(std::string_view utf8, TextEncoding encoding);

// Windows-1252 to UTF-8. Every byte maps to one character (the five bytes 1252
// leaves undefined map to the C1 controls of the same value), so AnsiToUtf8 and
// Utf8ToAnsi round-trip any byte string.
std::string AnsiToUtf8(std::string_view ansi);
bool CanEncodeAnsi(std::string_view utf8);
std::string Utf8ToAnsi(std::string_view utf8);

bool IsValidUtf8(std::string_view bytes);
// Engine and server texts: UTF-8 when they are valid UTF-8, else Windows-1252.
std::string EngineTextToUtf8(std::string_view bytes);

// UTF-16 (host order code units) to UTF-8 and back. Unpaired surrogates become
// U+FFFD.
std::string Utf16ToUtf8(std::u16string_view text);
std::u16string Utf8ToUtf16(std::string_view utf8);

}  // namespace tw
