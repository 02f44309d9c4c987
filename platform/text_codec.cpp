#include "platform/text_codec.h"

#include <array>
#include <cstdint>

namespace tw {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

// Windows-1252 bytes 0x80..0x9F. The five bytes 1252 leaves undefined keep the
// C1 control of the same value, so every byte has a character and back.
constexpr std::array<char16_t, 32> kHigh1252 = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,  // 80..87
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,  // 88..8F
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 90..97
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,  // 98..9F
};

char32_t AnsiByteToChar(unsigned char byte) {
  if (byte >= 0x80 && byte <= 0x9F) return kHigh1252[byte - 0x80];
  return byte;
}

// The 1252 byte for a character, or -1 when 1252 has none.
int CharToAnsiByte(char32_t c) {
  if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) return static_cast<int>(c);
  for (size_t i = 0; i < kHigh1252.size(); ++i) {
    if (kHigh1252[i] == c) return static_cast<int>(0x80 + i);
  }
  return -1;
}

void AppendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

// Decodes one character at *pos and advances past it. Overlong forms,
// surrogates, values above U+10FFFF and cut-off sequences are invalid: those
// give nullopt and advance by one byte, so a caller never stalls.
std::optional<char32_t> NextUtf8(std::string_view s, size_t* pos) {
  const auto lead = static_cast<unsigned char>(s[*pos]);
  size_t length = 0;
  char32_t c = 0;
  char32_t minimum = 0;
  if (lead < 0x80) {
    ++*pos;
    return lead;
  } else if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2, c = lead & 0x1F, minimum = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3, c = lead & 0x0F, minimum = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4, c = lead & 0x07, minimum = 0x10000;
  } else {
    ++*pos;
    return std::nullopt;
  }
  if (s.size() - *pos < length) {
    ++*pos;
    return std::nullopt;
  }
  for (size_t i = 1; i < length; ++i) {
    const auto next = static_cast<unsigned char>(s[*pos + i]);
    if ((next & 0xC0) != 0x80) {
      ++*pos;
      return std::nullopt;
    }
    c = (c << 6) | (next & 0x3F);
  }
  if (c < minimum || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
    ++*pos;
    return std::nullopt;
  }
  *pos += length;
  return c;
}

void AppendUtf16(std::string& out, std::u16string_view units, bool bigEndian) {
  for (char16_t unit : units) {
    const auto high = static_cast<char>(unit >> 8);
    const auto low = static_cast<char>(unit & 0xFF);
    if (bigEndian) {
      out += high;
      out += low;
    } else {
      out += low;
      out += high;
    }
  }
}

std::u16string ReadUtf16Units(std::string_view bytes, bool bigEndian, bool* odd) {
  std::u16string units;
  units.reserve(bytes.size() / 2);
  for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
    const auto first = static_cast<unsigned char>(bytes[i]);
    const auto second = static_cast<unsigned char>(bytes[i + 1]);
    units += bigEndian ? static_cast<char16_t>(first << 8 | second)
                       : static_cast<char16_t>(second << 8 | first);
  }
  *odd = bytes.size() % 2 != 0;
  return units;
}

}  // namespace

namespace {

// Bytes below 0x80 are the same in Windows-1252 and UTF-8: runs of them are
// copied whole, which is most of any station or settings file.
size_t AsciiRun(std::string_view text, size_t pos) {
  size_t end = pos;
  while (end < text.size() && static_cast<unsigned char>(text[end]) < 0x80) ++end;
  return end - pos;
}

}  // namespace

DecodedText DecodeText(std::string_view bytes) {
  DecodedText result;
  if (bytes.starts_with("\xEF\xBB\xBF")) {
    // Kept as they are, even where not valid UTF-8, so that lines nobody
    // changes are written back byte for byte.
    result.encoding = TextEncoding::Utf8Bom;
    result.utf8 = std::string(bytes.substr(3));
  } else if (bytes.starts_with("\xFF\xFE") || bytes.starts_with("\xFE\xFF")) {
    const bool bigEndian = bytes[0] == '\xFE';
    result.encoding = bigEndian ? TextEncoding::Utf16BE : TextEncoding::Utf16LE;
    bool odd = false;
    result.utf8 = Utf16ToUtf8(ReadUtf16Units(bytes.substr(2), bigEndian, &odd));
    // A lone last byte is half a character; show that something was there.
    if (odd) AppendUtf8(result.utf8, kReplacement);
  } else if (IsValidUtf8(bytes) && AsciiRun(bytes, 0) < bytes.size()) {
    result.encoding = TextEncoding::Utf8;
    result.utf8 = std::string(bytes);
  } else {
    result.encoding = TextEncoding::Ansi;
    result.utf8 = AnsiToUtf8(bytes);
  }
  return result;
}

std::string EncodeText(std::string_view utf8, TextEncoding encoding) {
  switch (encoding) {
    case TextEncoding::Ansi:
      return Utf8ToAnsi(utf8);
    case TextEncoding::Utf8Bom:
      return "\xEF\xBB\xBF" + std::string(utf8);
    case TextEncoding::Utf8:
      return std::string(utf8);
    case TextEncoding::Utf16LE:
    case TextEncoding::Utf16BE: {
      const bool bigEndian = encoding == TextEncoding::Utf16BE;
      std::string out = bigEndian ? "\xFE\xFF" : "\xFF\xFE";
      out.reserve(2 + utf8.size() * 2);
      AppendUtf16(out, Utf8ToUtf16(utf8), bigEndian);
      return out;
    }
  }
  return std::string(utf8);
}

std::string AnsiToUtf8(std::string_view ansi) {
  std::string out;
  out.reserve(ansi.size());
  for (size_t pos = 0; pos < ansi.size();) {
    const size_t run = AsciiRun(ansi, pos);
    out.append(ansi.substr(pos, run));
    pos += run;
    if (pos < ansi.size()) AppendUtf8(out, AnsiByteToChar(static_cast<unsigned char>(ansi[pos++])));
  }
  return out;
}

bool CanEncodeAnsi(std::string_view utf8) {
  size_t pos = 0;
  while (pos < utf8.size()) {
    const std::optional<char32_t> c = NextUtf8(utf8, &pos);
    if (!c || CharToAnsiByte(*c) < 0) return false;
  }
  return true;
}

std::string Utf8ToAnsi(std::string_view utf8) {
  std::string out;
  out.reserve(utf8.size());
  size_t pos = 0;
  while (pos < utf8.size()) {
    const size_t run = AsciiRun(utf8, pos);
    out.append(utf8.substr(pos, run));
    pos += run;
    if (pos == utf8.size()) break;
    const std::optional<char32_t> c = NextUtf8(utf8, &pos);
    const int byte = c ? CharToAnsiByte(*c) : -1;
    out += byte < 0 ? '?' : static_cast<char>(byte);
  }
  return out;
}

bool IsValidUtf8(std::string_view bytes) {
  size_t pos = 0;
  while (pos < bytes.size()) {
    if (!NextUtf8(bytes, &pos)) return false;
  }
  return true;
}

std::string EngineTextToUtf8(std::string_view bytes) {
  if (IsValidUtf8(bytes)) return std::string(bytes);
  return AnsiToUtf8(bytes);
}

std::string Utf16ToUtf8(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const char16_t unit = text[i];
    if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      AppendUtf8(out, 0x10000 + ((char32_t{unit} - 0xD800) << 10) + (text[i + 1] - 0xDC00));
      ++i;
    } else if (unit >= 0xD800 && unit <= 0xDFFF) {
      AppendUtf8(out, kReplacement);
    } else {
      AppendUtf8(out, unit);
    }
  }
  return out;
}

std::u16string Utf8ToUtf16(std::string_view utf8) {
  std::u16string out;
  out.reserve(utf8.size());
  size_t pos = 0;
  while (pos < utf8.size()) {
    const char32_t c = NextUtf8(utf8, &pos).value_or(kReplacement);
    if (c >= 0x10000) {
      out += static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
      out += static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
    } else {
      out += static_cast<char16_t>(c);
    }
  }
  return out;
}

}  // namespace tw
