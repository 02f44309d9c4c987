#include "platform/text_codec.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

namespace tw {
namespace {

using namespace std::string_literals;

// Catches a byte that is dropped, merged or mapped to a character that maps back
// to another byte, which would corrupt Ansi files on save.
TEST(TextCodec, EveryAnsiByteRoundTrips) {
  std::string all;
  for (int byte = 0; byte < 256; ++byte) {
    const std::string one(1, static_cast<char>(byte));
    const std::string utf8 = AnsiToUtf8(one);
    EXPECT_TRUE(IsValidUtf8(utf8)) << "byte " << byte;
    EXPECT_TRUE(CanEncodeAnsi(utf8)) << "byte " << byte;
    EXPECT_EQ(Utf8ToAnsi(utf8), one) << "byte " << byte;
    all += one;
  }
  EXPECT_EQ(Utf8ToAnsi(AnsiToUtf8(all)), all);
}

// Catches a wrong Windows-1252 table, Latin-1 used instead, or the undefined
// bytes turned into '?' or U+FFFD.
TEST(TextCodec, AnsiBytesMapToWindows1252Characters) {
  struct Case {
    unsigned char byte;
    std::string utf8;
  };
  const Case cases[] = {
      {0x00, "\0"s},      {0x41, "A"},        {0x7F, "\x7F"},   {0x80, "\u20AC"},
      {0x81, "\xC2\x81"}, {0x82, "\u201A"},   {0x8A, "\u0160"}, {0x8D, "\xC2\x8D"},
      {0x8F, "\xC2\x8F"}, {0x90, "\xC2\x90"}, {0x93, "\u201C"}, {0x99, "\u2122"},
      {0x9D, "\xC2\x9D"}, {0x9F, "\u0178"},   {0xA0, "\u00A0"}, {0xE9, "\u00E9"},
      {0xF6, "\u00F6"},   {0xFF, "\u00FF"},
  };
  for (const Case& c : cases) {
    const std::string ansi(1, static_cast<char>(c.byte));
    EXPECT_EQ(AnsiToUtf8(ansi), c.utf8) << "byte " << int{c.byte};
    EXPECT_EQ(Utf8ToAnsi(c.utf8), ansi) << "byte " << int{c.byte};
  }
}

// Catches characters outside 1252 reported as encodable or silently dropped
// (instead of '?'), and broken UTF-8 being passed through.
TEST(TextCodec, CharactersWithoutAnsiByteBecomeQuestionMarks) {
  struct Case {
    std::string utf8;
    bool encodable;
    std::string ansi;
  };
  const Case cases[] = {
      {"", true, ""},
      {"Bj\u00F6rk \u20AC", true, "Bj\xF6rk \x80"},
      {"\u6771\u4EAC", false, "??"},
      {"a\U0001F3B5b", false, "a?b"},
      {"\u0100", false, "?"},            // just above Latin-1, not in 1252
      {"\u00C0\u0080", false, "\xC0?"},  // U+0080 is not one of the five kept C1 controls
      {"x\xC3", false, "x?"},            // cut-off sequence
      {"\xED\xA0\x80", false, "???"},    // encoded surrogate
  };
  for (const Case& c : cases) {
    EXPECT_EQ(CanEncodeAnsi(c.utf8), c.encodable) << c.ansi;
    EXPECT_EQ(Utf8ToAnsi(c.utf8), c.ansi);
  }
}

// Catches a validator that accepts overlong forms, surrogates or values past
// U+10FFFF, or rejects the extremes of valid UTF-8.
TEST(TextCodec, Utf8Validity) {
  struct Case {
    std::string bytes;
    bool valid;
  };
  const Case cases[] = {
      {"", true},
      {"plain ASCII", true},
      {"nul \0 inside"s, true},
      {"\xC2\x80", true},           // U+0080, smallest two-byte
      {"\xC3\xA9", true},           // é
      {"\xE0\xA0\x80", true},       // U+0800, smallest three-byte
      {"\xED\x9F\xBF", true},       // U+D7FF, just below the surrogates
      {"\xEE\x80\x80", true},       // U+E000, just above them
      {"\xEF\xBF\xBF", true},       // U+FFFF
      {"\xF0\x90\x80\x80", true},   // U+10000, smallest four-byte
      {"\xF4\x8F\xBF\xBF", true},   // U+10FFFF, the largest
      {"\xC0\x80", false},          // overlong NUL
      {"\xC1\xBF", false},          // overlong U+007F
      {"\xE0\x80\x80", false},      // overlong
      {"\xE0\x9F\xBF", false},      // overlong U+07FF
      {"\xF0\x8F\xBF\xBF", false},  // overlong U+FFFF
      {"\xED\xA0\x80", false},      // U+D800
      {"\xED\xBF\xBF", false},      // U+DFFF
      {"\xF4\x90\x80\x80", false},  // U+110000
      {"\xF5\x80\x80\x80", false},
      {"\xF8\x88\x80\x80\x80", false},  // five-byte form
      {"\xFF", false},
      {"\x80", false},     // continuation without a lead
      {"abc\xC3", false},  // cut off at the end
      {"\xE2\x82", false},
      {"\xC3\x41", false},  // lead followed by no continuation
      {"\xE2\x28\xA1", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(IsValidUtf8(c.bytes), c.valid) << testing::PrintToString(c.bytes);
  }
}

// Catches a missed or misread byte-order mark, a mark left in the text, swapped
// byte order, a crash or lost text on a UTF-16 file of odd length, and a
// UTF-8 file without a mark shown as mojibake.
TEST(TextCodec, DecodeTextPicksEncodingByByteOrderMark) {
  struct Case {
    std::string bytes;
    TextEncoding encoding;
    std::string utf8;
  };
  const Case cases[] = {
      {"", TextEncoding::Ansi, ""},
      {"[a]\r\nk=\xE9", TextEncoding::Ansi, "[a]\r\nk=\u00E9"},
      {"\xEF\xBB", TextEncoding::Ansi, "\u00EF\u00BB"},  // half a mark is text
      {"[a]\r\nk=v", TextEncoding::Ansi, "[a]\r\nk=v"},  // ASCII stays 8-bit
      {"Title=\xD0\xA1\xD1\x82 \xE6\x9D\xB1", TextEncoding::Utf8, "Title=\u0421\u0442 \u6771"},
      {"k=\xC3\xA9 \xE9", TextEncoding::Ansi, "k=\u00C3\u00A9 \u00E9"},  // not all UTF-8
      {"\xEF\xBB\xBF", TextEncoding::Utf8Bom, ""},
      {"\xEF\xBB\xBFk=\xC3\xA9", TextEncoding::Utf8Bom, "k=\u00E9"},
      {"\xFF\xFE", TextEncoding::Utf16LE, ""},
      {"\xFF\xFEk\0=\0\xE9\0"s, TextEncoding::Utf16LE, "k=\u00E9"},
      {"\xFE\xFF\0k\0=\0\xE9"s, TextEncoding::Utf16BE, "k=\u00E9"},
      {"\xFF\xFE\xAC\x20"s, TextEncoding::Utf16LE, "\u20AC"},
      {"\xFE\xFF\x20\xAC"s, TextEncoding::Utf16BE, "\u20AC"},
      {"\xFF\xFE\x3D\xD8\x00\xDE"s, TextEncoding::Utf16LE, "\U0001F600"},
      {"\xFE\xFF\xD8\x3D\xDE\x00"s, TextEncoding::Utf16BE, "\U0001F600"},
      {"\xFF\xFEk\0x"s, TextEncoding::Utf16LE, "k\uFFFD"},  // odd byte count
      {"\xFE\xFF\0"s, TextEncoding::Utf16BE, "\uFFFD"},
      {"\xFF\xFE\x00\xD8k\0"s, TextEncoding::Utf16LE, "\uFFFDk"},  // unpaired high surrogate
      {"\xFE\xFF\xDC\x00"s, TextEncoding::Utf16BE, "\uFFFD"},      // unpaired low surrogate
  };
  for (const Case& c : cases) {
    const DecodedText decoded = DecodeText(c.bytes);
    EXPECT_EQ(decoded.encoding, c.encoding) << testing::PrintToString(c.bytes);
    EXPECT_EQ(decoded.utf8, c.utf8) << testing::PrintToString(c.bytes);
  }
}

// Catches a missing or wrong byte-order mark on output and swapped byte order,
// which would make a saved file unreadable or change its encoding.
TEST(TextCodec, EncodeTextWritesMarkAndByteOrder) {
  struct Case {
    TextEncoding encoding;
    std::string bytes;
  };
  const std::string text = "k=\u00E9\u20AC\U0001F600";
  const Case cases[] = {
      {TextEncoding::Ansi, "k=\xE9\x80?"},
      {TextEncoding::Utf8Bom, "\xEF\xBB\xBF" + text},
      {TextEncoding::Utf8, text},
      {TextEncoding::Utf16LE, "\xFF\xFEk\0=\0\xE9\0\xAC\x20\x3D\xD8\x00\xDE"s},
      {TextEncoding::Utf16BE, "\xFE\xFF\0k\0=\0\xE9\x20\xAC\xD8\x3D\xDE\x00"s},
  };
  for (const Case& c : cases) {
    const std::string bytes = EncodeText(text, c.encoding);
    EXPECT_EQ(bytes, c.bytes) << static_cast<int>(c.encoding);
    if (c.encoding != TextEncoding::Ansi) {
      const DecodedText back = DecodeText(bytes);
      EXPECT_EQ(back.encoding, c.encoding);
      EXPECT_EQ(back.utf8, text);
    }
  }
}

// Catches stream titles shown as mojibake: valid UTF-8 must stay as it is, and
// anything else is Windows-1252.
TEST(TextCodec, EngineTextIsUtf8WhenValidElseWindows1252) {
  struct Case {
    std::string bytes;
    std::string utf8;
  };
  const Case cases[] = {
      {"", ""},
      {"Bj\xF6rk", "Bj\u00F6rk"},
      {"Bj\xC3\xB6rk", "Bj\u00F6rk"},
      {"\x93Hello\x94 \x96 live", "\u201CHello\u201D \u2013 live"},
      {"caf\xC3", "caf\u00C3"},      // cut-off UTF-8 is not UTF-8
      {"\xC0\xAE", "\u00C0\u00AE"},  // overlong is not UTF-8 either
      {"\xE2\x82\xAC 5", "\u20AC 5"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(EngineTextToUtf8(c.bytes), c.utf8) << testing::PrintToString(c.bytes);
  }
}

// Catches wrong surrogate pairing and unpaired surrogates passed through, which
// would produce invalid UTF-8 inside the program.
TEST(TextCodec, Utf16Conversions) {
  struct Case {
    std::u16string utf16;
    std::string utf8;
  };
  const Case toUtf8[] = {
      {u"", ""},
      {u"abc", "abc"},
      {u"\u00E9\u20AC", "\u00E9\u20AC"},
      {u"\U0001F600", "\U0001F600"},
      {u"\U0010FFFF", "\U0010FFFF"},
      {std::u16string{0xD83D}, "\uFFFD"},
      {std::u16string{0xDE00, u'x'}, "\uFFFDx"},
      {std::u16string{0xD83D, 0xD83D, 0xDE00}, "\uFFFD\U0001F600"},
  };
  for (const Case& c : toUtf8) {
    const std::string utf8 = Utf16ToUtf8(c.utf16);
    EXPECT_EQ(utf8, c.utf8);
    EXPECT_TRUE(IsValidUtf8(utf8));
  }
  const Case toUtf16[] = {
      {u"\u00E9\u20AC", "\u00E9\u20AC"},
      {u"\U0001F600", "\U0001F600"},
      {u"a\uFFFDb",
       "a\xFF"
       "b"},
      {u"\uFFFD\uFFFD\uFFFD", "\xED\xA0\x80"},  // each byte of a broken sequence
      {u"x\uFFFD\uFFFD", "x\xF0\x9F"},
  };
  for (const Case& c : toUtf16) EXPECT_EQ(Utf8ToUtf16(c.utf8), c.utf16);
}

}  // namespace
}  // namespace tw
