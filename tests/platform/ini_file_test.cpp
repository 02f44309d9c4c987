#include "platform/ini_file.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/failure_conditions.h"
#include "tests/support/temp_folder.h"

namespace tw {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;
using test::FolderEntries;
using test::TempFolder;

constexpr char kFallback[] = "<fallback>";

// The header comment of the favorites file, written as a key with an empty value.
constexpr char kFavoritesComment[] =
    ";Varnholt Tunewell Favorites File 0.1\r\n;converted with Plaintune 0.4";

bool Has(const std::string& text, const std::string& part) { return text.find(part) != text.npos; }

// UTF-16 bytes with a byte-order mark, built here independently of the codec.
std::string Utf16Bytes(std::u16string_view text, bool bigEndian) {
  std::string bytes = bigEndian ? "\xFE\xFF" : "\xFF\xFE";
  for (char16_t unit : text) {
    const char high = static_cast<char>(unit >> 8);
    const char low = static_cast<char>(unit & 0xFF);
    bytes += bigEndian ? high : low;
    bytes += bigEndian ? low : high;
  }
  return bytes;
}

const std::string kReadDocument =
    "; Tunewell settings\r\n"
    "stray=before any section\r\n"
    "[Main]\r\n"
    "Volume=80\r\n"
    "  Name  =  Radio One  \r\n"
    "Tabbed\t=\t\tvalue\t\r\n"
    "Quoted=\"  spaced  \"\r\n"
    "Single='x'\r\n"
    "Mixed=\"abc'\r\n"
    "OneQuote=\"\r\n"
    "TwoQuotes=\"\"\r\n"
    "Empty=\r\n"
    "Dup=first\r\n"
    "Dup=second\r\n"
    ";Hidden=yes\r\n"
    "  ; Indented=yes\r\n"
    "NoEquals\r\n"
    "Equation=b=c\r\n"
    "[ Spaced Section ]  trailing\r\n"
    "k=v\r\n"
    "[main]\r\n"
    "Volume=99\r\n"
    "Other=only in the second Main\r\n";

// Catches case-sensitive matching, a later duplicate section or key winning,
// comments read as keys, lines before the first section taken as a section's,
// and blanks or quotes left on values (or removed where they must stay).
TEST(IniFile, ReadStringFindsFirstMatchIgnoringCase) {
  TempFolder folder;
  folder.Write("a.ini", kReadDocument);
  const IniFile ini(folder / "a.ini");
  ASSERT_EQ(ini.error(), "");
  ASSERT_TRUE(ini.exists());

  struct Case {
    std::string section;
    std::string key;
    std::string value;
  };
  const Case cases[] = {
      {"Main", "Volume", "80"},         {"MAIN", "volume", "80"},
      {"main", "VOLUME", "80"},         {" Main ", "\tVolume ", "80"},
      {"Main", "Other", kFallback},  // only in the second [main], which never counts
      {"Main", "Name", "Radio One"},    {"Main", "tabbed", "value"},
      {"Main", "Quoted", "  spaced  "}, {"Main", "Single", "x"},
      {"Main", "Mixed", "\"abc'"},      {"Main", "OneQuote", "\""},
      {"Main", "TwoQuotes", ""},        {"Main", "Empty", ""},
      {"Main", "Dup", "first"},         {"Main", "Hidden", kFallback},
      {"Main", ";Hidden", kFallback},   {"Main", "; Indented", kFallback},
      {"Main", "NoEquals", kFallback},  {"Main", "Equation", "b=c"},
      {"Main", "k", kFallback},         {"Main", "", kFallback},
      {"Spaced Section", "k", "v"},     {"SPACED SECTION", "K", "v"},
      {"", "stray", kFallback},         {"Missing", "Volume", kFallback},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ini.ReadString(c.section, c.key, kFallback), c.value)
        << "[" << c.section << "] " << c.key;
  }
}

// Catches a missing file treated as an error, or a fallback that is altered.
TEST(IniFile, MissingFileReadsFallbackUnchanged) {
  TempFolder folder;
  const IniFile ini(folder / "none.ini");
  EXPECT_EQ(ini.error(), "");
  EXPECT_FALSE(ini.exists());
  EXPECT_EQ(ini.ReadString("Main", "Volume", "  \"as given\"  "), "  \"as given\"  ");
  EXPECT_EQ(ini.ReadInteger("Main", "Volume", -5), -5);
}

// Catches a cut in bytes instead of characters (splitting a character or
// keeping too few), a cut at the wrong length, and a cut before the quotes go.
TEST(IniFile, ValuesAreCutAt2047Characters) {
  struct Case {
    std::string character;
    size_t count;
    bool quoted;
    size_t expected;
  };
  const Case cases[] = {
      {"x", 2046, false, 2046},      {"x", 2047, false, 2047},
      {"x", 2048, false, 2047},      {"x", 5000, false, 2047},
      {"\u00E9", 2047, false, 2047}, {"\u00E9", 3000, false, 2047},
      {"\u20AC", 2048, false, 2047}, {"\U0001F3B5", 2100, false, 2047},
      {"x", 2047, true, 2047},       {"x", 2048, true, 2047},
  };
  for (const Case& c : cases) {
    TempFolder folder;
    std::string value;
    for (size_t i = 0; i < c.count; ++i) value += c.character;
    if (c.quoted) value = "\"" + value + "\"";
    folder.Write("a.ini", "\xEF\xBB\xBF[s]\r\nk=" + value + "\r\n");
    const std::string read = IniFile(folder / "a.ini").ReadString("s", "k", "");
    std::string expected;
    for (size_t i = 0; i < c.expected; ++i) expected += c.character;
    EXPECT_EQ(read, expected) << c.count << " x " << c.character << (c.quoted ? " quoted" : "");
  }
}

// Catches numbers misparsed (sign, hex in either case), leading digits taken from
// text that is no number ("PlayLast=1abc" would auto-play, "VOLUME=50%" would
// give 50), junk read as 0 instead of the fallback, and a number beyond 32 bits
// wrapped or saturated instead of refused.
TEST(IniFile, ReadIntegerTakesOnlyWholeNumbers) {
  constexpr int32_t kDefault = -777;
  struct Case {
    std::string text;
    int32_t value;
  };
  const Case cases[] = {
      {"42", 42},
      {"-42", -42},
      {"+7", 7},
      {"  13\t", 13},
      {"\"5\"", 5},
      {"007", 7},
      {"-0", 0},
      {"0x1F", 31},
      {"0X1f", 31},
      {"0xfF", 255},
      {" 0x10 ", 16},
      {"0x30", 48},
      {"0x7FFFFFFF", std::numeric_limits<int32_t>::max()},
      {"0x80000000", std::numeric_limits<int32_t>::min()},
      {"0xFFFFFFFF", -1},
      {"0x0000000000FF", 255},
      {"2147483647", 2147483647},
      {"-2147483648", std::numeric_limits<int32_t>::min()},
      {"0x123456789", kDefault},
      {"2147483648", kDefault},
      {"-2147483649", kDefault},
      {"4294967297", kDefault},
      {"99999999999999999999", kDefault},
      {"0x1G", kDefault},
      {"0x", kDefault},
      {"0X", kDefault},
      {"12abc", kDefault},
      {"1abc", kDefault},
      {"50%", kDefault},
      {"2x", kDefault},
      {"1 2", kDefault},
      {"1.5", kDefault},
      {"true", kDefault},
      {"", kDefault},
      {"   ", kDefault},
      {"0xZZ", kDefault},
      {"0x-1", kDefault},
      {"0x+1", kDefault},
      {"0x 1", kDefault},
      {"-0x10", kDefault},
      {"-", kDefault},
      {"+", kDefault},
      {"+-5", kDefault},
      {"--5", kDefault},
      {"- 5", kDefault},
      {"abc12", kDefault},
  };
  for (const Case& c : cases) {
    TempFolder folder;
    folder.Write("a.ini", "[s]\r\nk=" + c.text + "\r\n");
    EXPECT_EQ(IniFile(folder / "a.ini").ReadInteger("S", "K", kDefault), c.value)
        << "\"" << c.text << "\"";
  }
  TempFolder folder;
  folder.Write("a.ini", "[s]\r\nk=1\r\n");
  EXPECT_EQ(IniFile(folder / "a.ini").ReadInteger("s", "missing", kDefault), kDefault);
}

struct WriteCase {
  const char* what;
  std::string before;
  std::string section;
  std::string key;
  std::string value;
  std::string after;
};

// Writes one value into a file holding before, saves, and compares the whole file.
void ExpectWrite(const WriteCase& c) {
  TempFolder folder;
  folder.Write("a.ini", c.before);
  IniFile ini(folder / "a.ini");
  ASSERT_EQ(ini.Serialize(), c.before) << c.what << ": not kept as read";
  ini.WriteString(c.section, c.key, c.value);
  std::string error;
  ASSERT_TRUE(ini.Save(&error)) << error;
  EXPECT_EQ(folder.Read("a.ini"), c.after) << c.what;
  EXPECT_EQ(IniFile(folder / "a.ini").ReadString(c.section, c.key, kFallback), c.value) << c.what;
}

// Catches a rewrite that normalises anything it should leave alone: line ends,
// comments, spacing, the key's own case, or the missing final line end.
TEST(IniFile, WriteReplacesOnlyTheValue) {
  const WriteCase cases[] = {
      {"comments and odd spacing", "; top\r\n[Main]\r\n  Volume =  80 ; note\r\n\tName=x\r\n",
       "Main", "volume", "55", "; top\r\n[Main]\r\n  Volume =55\r\n\tName=x\r\n"},
      {"LF only", "[a]\nk=1\n\n[b]\nk=2\n", "B", "K", "3", "[a]\nk=1\n\n[b]\nk=3\n"},
      {"mixed line ends", "[a]\r\nk=1\nj=2\rl=3", "a", "j", "xyz", "[a]\r\nk=1\nj=xyz\rl=3"},
      {"no final line end", "[a]\r\nk=1", "a", "k", "22", "[a]\r\nk=22"},
      {"case kept", "[MAIN]\r\nVOLUME=1\r\n", "main", "volume", "2", "[MAIN]\r\nVOLUME=2\r\n"},
      {"first of duplicates", "[a]\r\nk=1\r\nk=2\r\n[A]\r\nk=3\r\n", "a", "k", "9",
       "[a]\r\nk=9\r\nk=2\r\n[A]\r\nk=3\r\n"},
      {"value with =", "[a]\r\nk=x=y\r\n", "a", "k", "z", "[a]\r\nk=z\r\n"},
      {"comment with the key's name", "[a]\r\n;k=1\r\nk=1\r\n", "a", "k", "2",
       "[a]\r\n;k=1\r\nk=2\r\n"},
      {"empty value", "[a]\r\nk=1\r\n", "a", "k", "", "[a]\r\nk=\r\n"},
      {"header with blanks", "  [ a ]\t\r\n k = 1\r\n", "A", "K", "0", "  [ a ]\t\r\n k =0\r\n"},
  };
  for (const WriteCase& c : cases) ExpectWrite(c);
}

// Catches a new key put after the blank lines that part sections (or into the
// next section), a new line end unlike the file's, a last line left without its
// line end, keys outside the section taken as its own, and a new section not added.
TEST(IniFile, WriteAppendsKeyOrSection) {
  const WriteCase cases[] = {
      {"before blank lines", "[a]\r\nx=1\r\n\r\n[b]\r\ny=2\r\n", "a", "new", "v",
       "[a]\r\nx=1\r\nnew=v\r\n\r\n[b]\r\ny=2\r\n"},
      {"blank lines at the end", "[a]\nx=1\n\n  \n", "a", "new", "v", "[a]\nx=1\nnew=v\n\n  \n"},
      {"last section, no line end", "[a]\r\nx=1", "a", "new", "v", "[a]\r\nx=1\r\nnew=v\r\n"},
      {"LF file", "[a]\nx=1\n", "a", "new", "v", "[a]\nx=1\nnew=v\n"},
      {"first line end counts", "[a]\nx=1\r\n", "a", "new", "v", "[a]\nx=1\r\nnew=v\n"},
      {"empty section", "[a]\r\n[b]\r\n", "A", "new", "v", "[a]\r\nnew=v\r\n[b]\r\n"},
      {"header alone, no line end", "[a]", "a", "new", "v", "[a]\r\nnew=v\r\n"},
      {"new section", "[a]\nx=1\n", "c", "k", "v", "[a]\nx=1\n[c]\nk=v\n"},
      {"new section, no line end", "[a]\nx=1", "c", "k", "v", "[a]\nx=1\n[c]\nk=v\n"},
      {"empty file", "", "c", "k", "v", "[c]\r\nk=v\r\n"},
      {"key before any section", "k=0\r\n[a]\r\n", "a", "k", "1", "k=0\r\n[a]\r\nk=1\r\n"},
      {"key in a later duplicate section", "[a]\r\n[b]\r\n[A]\r\nk=0\r\n", "a", "k", "1",
       "[a]\r\nk=1\r\n[b]\r\n[A]\r\nk=0\r\n"},
      {"commented-out key", "[a]\r\n;k=0\r\n", "a", "k", "1", "[a]\r\n;k=0\r\nk=1\r\n"},
  };
  for (const WriteCase& c : cases) ExpectWrite(c);
}

// Catches a new file created as something other than Ansi with CR LF, and a
// file not created at all.
TEST(IniFile, NewFileIsAnsiWithCrLf) {
  TempFolder folder;
  IniFile ini(folder / "new.ini");
  ini.WriteString("Main", "Name", "Caf\u00E9");
  ini.WriteString("Main", "Volume", "80");
  std::string error;
  ASSERT_TRUE(ini.Save(&error)) << error;
  EXPECT_TRUE(ini.exists());
  EXPECT_EQ(folder.Read("new.ini"), "[Main]\r\nName=Caf\xE9\r\nVolume=80\r\n");
}

// Catches a line break in a value (say a stream title) written through, which
// would add a key or a section of the stream's choosing to the file.
TEST(IniFile, LineBreaksInValuesCannotAddLines) {
  TempFolder folder;
  IniFile ini(folder / "a.ini");
  ini.WriteString("Main", "Title", "Song\r\n[Other]\r\nEvil=1");
  EXPECT_EQ(ini.Serialize(), "[Main]\r\nTitle=Song  [Other]  Evil=1\r\n");
  EXPECT_EQ(ini.ReadString("Other", "Evil", kFallback), kFallback);
}

// Catches the favorites header comment added again on every save, or matched
// loosely so that a different comment is overwritten.
TEST(IniFile, MultiLineKeyIsReplacedNotRepeated) {
  TempFolder folder;
  {
    IniFile ini(folder / "fav.ini");
    ini.WriteString("Favorites", kFavoritesComment, "");
    ini.WriteString("Favorites", "Count", "1");
    ini.WriteString("Favorites", kFavoritesComment, "");  // the same document again
    std::string error;
    ASSERT_TRUE(ini.Save(&error)) << error;
  }
  const std::string once =
      "[Favorites]\r\n;Varnholt Tunewell Favorites File 0.1\r\n;converted with Plaintune "
      "0.4=\r\nCount=1\r\n";
  ASSERT_EQ(folder.Read("fav.ini"), once);
  {
    IniFile ini(folder / "fav.ini");  // and after reading it back
    EXPECT_EQ(ini.ReadString("Favorites", kFavoritesComment, kFallback), kFallback);
    ini.WriteString("favorites", kFavoritesComment, "");
    std::string error;
    ASSERT_TRUE(ini.Save(&error)) << error;
  }
  EXPECT_EQ(folder.Read("fav.ini"), once);

  struct Case {
    const char* what;
    std::string before;
    std::string after;
  };
  const Case cases[] = {
      {"other case and blanks, LF",
       "[Favorites]\n ;VARNHOLT Tunewell Favorites File 0.1\n;converted with Plaintune 0.4 =x\n",
       "[Favorites]\n ;VARNHOLT Tunewell Favorites File 0.1\n;converted with Plaintune 0.4 =\n"},
      {"first line differs", "[Favorites]\r\n;Other File 0.1\r\n;converted with Plaintune 0.4=\r\n",
       "[Favorites]\r\n;Other File 0.1\r\n;converted with Plaintune 0.4=\r\n"
       ";Varnholt Tunewell Favorites File 0.1\r\n;converted with Plaintune 0.4=\r\n"},
      {"lines apart",
       "[Favorites]\r\n;Varnholt Tunewell Favorites File 0.1\r\nx=1\r\n"
       ";converted with Plaintune 0.4=\r\n",
       "[Favorites]\r\n;Varnholt Tunewell Favorites File 0.1\r\nx=1\r\n"
       ";converted with Plaintune 0.4=\r\n;Varnholt Tunewell Favorites File 0.1\r\n"
       ";converted with Plaintune 0.4=\r\n"},
      {"in another section",
       "[Other]\r\n;Varnholt Tunewell Favorites File 0.1\r\n;converted with Plaintune 0.4=\r\n"
       "[Favorites]\r\n",
       "[Other]\r\n;Varnholt Tunewell Favorites File 0.1\r\n;converted with Plaintune 0.4=\r\n"
       "[Favorites]\r\n;Varnholt Tunewell Favorites File 0.1\r\n"
       ";converted with Plaintune 0.4=\r\n"},
  };
  for (const Case& c : cases) {
    TempFolder each;
    each.Write("fav.ini", c.before);
    IniFile ini(each / "fav.ini");
    ini.WriteString("Favorites", kFavoritesComment, "");
    EXPECT_EQ(ini.Serialize(), c.after) << c.what;
  }
}

// Catches a file written back in another encoding than it was read in (which
// the other readers of it would misread), a lost or doubled byte-order mark,
// and unchanged lines altered on the way.
TEST(IniFile, KeepsTheFileEncoding) {
  const std::u16string before = u"; \u00C4rger \u2013 Kommentar\r\n[Main]\r\nName=Bj\u00F6rk\r\n";
  const std::u16string after =
      u"; \u00C4rger \u2013 Kommentar\r\n[Main]\r\nName=\u6771\u4EAC \U0001F3B5\r\n";
  struct Case {
    const char* what;
    std::string before;
    std::string after;
  };
  const Case cases[] = {
      {"UTF-8",
       "\xEF\xBB\xBF; \xC3\x84rger \xE2\x80\x93 Kommentar\r\n[Main]\r\nName=Bj\xC3\xB6rk\r\n",
       "\xEF\xBB\xBF; \xC3\x84rger \xE2\x80\x93 Kommentar\r\n[Main]\r\n"
       "Name=\xE6\x9D\xB1\xE4\xBA\xAC \xF0\x9F\x8E\xB5\r\n"},
      // What Linux editors write: no mark, read as UTF-8 and written back without one.
      {"UTF-8 without a mark",
       "; \xC3\x84rger \xE2\x80\x93 Kommentar\r\n[Main]\r\nName=Bj\xC3\xB6rk\r\n",
       "; \xC3\x84rger \xE2\x80\x93 Kommentar\r\n[Main]\r\n"
       "Name=\xE6\x9D\xB1\xE4\xBA\xAC \xF0\x9F\x8E\xB5\r\n"},
      {"UTF-16 LE", Utf16Bytes(before, false), Utf16Bytes(after, false)},
      {"UTF-16 BE", Utf16Bytes(before, true), Utf16Bytes(after, true)},
  };
  for (const Case& c : cases) {
    TempFolder folder;
    folder.Write("a.ini", c.before);
    IniFile ini(folder / "a.ini");
    EXPECT_EQ(ini.ReadString("main", "name", kFallback), "Bj\u00F6rk") << c.what;
    EXPECT_EQ(ini.Serialize(), c.before) << c.what;
    ini.WriteString("Main", "Name", "\u6771\u4EAC \U0001F3B5");
    std::string error;
    ASSERT_TRUE(ini.Save(&error)) << error;
    EXPECT_EQ(folder.Read("a.ini"), c.after) << c.what;
  }
}

// Catches an Ansi file that loses characters Windows-1252 cannot hold (written
// as '?'), or that changes encoding when it did not need to.
TEST(IniFile, AnsiFileKeepsCharactersOutside1252) {
  struct Case {
    std::string value;
    std::string after;  // the whole file
  };
  const Case cases[] = {
      {"Caf\u00E9 \u20AC", "; \xC4rger\r\n[Main]\r\nName=Caf\xE9 \x80\r\n"},
      {"\u6771\u4EAC", "\xEF\xBB\xBF; \xC3\x84rger\r\n[Main]\r\nName=\xE6\x9D\xB1\xE4\xBA\xAC\r\n"},
  };
  for (const Case& c : cases) {
    TempFolder folder;
    folder.Write("a.ini", "; \xC4rger\r\n[Main]\r\nName=Bj\xF6rk\r\n");
    IniFile ini(folder / "a.ini");
    EXPECT_EQ(ini.ReadString("Main", "Name", kFallback), "Bj\u00F6rk");
    ini.WriteString("Main", "Name", c.value);
    std::string error;
    ASSERT_TRUE(ini.Save(&error)) << error;
    EXPECT_EQ(folder.Read("a.ini"), c.after) << c.value;
    EXPECT_EQ(IniFile(folder / "a.ini").ReadString("Main", "Name", kFallback), c.value);
  }
}

// Catches a failed save reported as success, a message that does not name the
// file, a damaged old file, a temporary file left behind, and a document that
// cannot be saved once the cause is gone.
TEST(IniFile, FailedSaveLeavesOldFile) {
  enum class Fault { ReadOnlyFolder, DiskFull };
  const std::string oldBytes = "; keep me\r\n[Main]\r\nVolume=80\r\n";
  for (const Fault fault : {Fault::ReadOnlyFolder, Fault::DiskFull}) {
    TempFolder folder;
    folder.Write("a.ini", oldBytes);
    const std::vector<std::string> before = FolderEntries(folder.path());
    IniFile ini(folder / "a.ini");
    ini.WriteString("Main", "Volume", "55");
    ini.WriteString("Main", "Big", std::string(20000, 'b'));

    bool saved = true;
    std::string error;
    if (fault == Fault::ReadOnlyFolder) {
      test::ReadOnlyFolder readOnly(folder.path());
      ASSERT_TRUE(readOnly.effective());
      saved = ini.Save(&error);
    } else {
      test::FileSizeLimit limit(1000);
      const bool limited = limit.active();
      saved = ini.Save(&error);
      limit.Lift();
      ASSERT_TRUE(limited);
    }

    EXPECT_FALSE(saved);
    EXPECT_TRUE(Has(error, (folder / "a.ini").string())) << error;
    EXPECT_EQ(folder.Read("a.ini"), oldBytes);
    EXPECT_EQ(FolderEntries(folder.path()), before);

    ASSERT_TRUE(ini.Save(&error)) << error;
    EXPECT_EQ(IniFile(folder / "a.ini").ReadInteger("Main", "Volume", 0), 55);
  }
}

// Catches an unreadable file taken as missing, and then replaced on save by one
// holding only the keys written since, or an error that does not name the file.
TEST(IniFile, UnreadableFileIsEmptyWithErrorAndNotOverwritten) {
  const std::string oldBytes = "[Main]\r\nVolume=80\r\nName=Radio One\r\n";
  struct Case {
    const char* what;
    bool folder;  // else a file without read permission
  };
  for (const Case& c : {Case{"a folder", true}, Case{"no read permission", false}}) {
    TempFolder folder;
    const fs::path path = folder / "a.ini";
    std::optional<IniFile> ini;
    if (c.folder) {
      fs::create_directory(path);
      ini.emplace(path);
    } else {
      folder.Write("a.ini", oldBytes);
      fs::permissions(path, fs::perms::none);
      const test::WithoutPermissionOverride asAUser;
      ini.emplace(path);
    }
    EXPECT_TRUE(Has(ini->error(), path.string())) << c.what << ": " << ini->error();
    EXPECT_EQ(ini->ReadString("Main", "Volume", kFallback), kFallback) << c.what;
    ini->WriteString("Main", "Volume", "1");
    std::string error;
    EXPECT_FALSE(ini->Save(&error)) << c.what;
    EXPECT_TRUE(Has(error, path.string())) << c.what << ": " << error;
    if (c.folder) {
      EXPECT_TRUE(fs::is_directory(path));
    } else {
      fs::permissions(path, fs::perms::owner_read);
      EXPECT_EQ(folder.Read("a.ini"), oldBytes);
    }
  }
}

// Catches crashes, hangs and lost bytes on files that are not well-formed INI.
TEST(IniFile, SurvivesMalformedFiles) {
  std::string allBytes;
  for (int i = 0; i < 4096; ++i) allBytes += static_cast<char>(i * 7 % 256);
  const std::string longLine(10 * 1024 * 1024, 'L');
  struct Case {
    const char* what;
    std::string bytes;
    bool keptAsRead;  // Serialize gives the same bytes before any write
  };
  const Case cases[] = {
      {"binary with NUL bytes", allBytes, true},
      {"NUL inside a key line", "[s]\r\nk\0ey=v\0al\r\n"s, true},
      {"10 MB line", longLine, true},
      {"10 MB value", "[s]\r\nbig=" + longLine + "\r\n", true},
      {"10 MB section name", "[" + longLine + "]\r\n", true},
      {"lines without =", "[s]\r\njust text\r\nmore text", true},
      {"duplicate sections", "[s]\r\n[s]\r\n[S]\r\nk=1\r\n[s]\r\n", true},
      {"unterminated [", "[s\r\n[\r\nk=1\r\n[", true},
      {"only ]", "]\r\n]=]\r\n", true},
      {"bare CRs", "\r\r\r[s]\rk=1\r\r", true},
      {"UTF-8 mark only", "\xEF\xBB\xBF", true},
      {"broken UTF-8 after the mark", "\xEF\xBB\xBF[s]\r\nk=\xC3(\xFF\r\n", true},
      {"UTF-16 LE odd size", "\xFF\xFE[\0s\0]\0\r\0\n\0k\0=\0001\0x"s, false},
      {"UTF-16 BE odd size", "\xFE\xFF\0[\0s\0]\0\n\0k\0=\0001\0"s, false},
      {"UTF-16 lone surrogates", "\xFF\xFE\x00\xD8[\0\x00\xDC"s, false},
  };
  for (const Case& c : cases) {
    TempFolder folder;
    folder.Write("a.ini", c.bytes);
    IniFile ini(folder / "a.ini");
    EXPECT_EQ(ini.error(), "") << c.what;
    if (c.keptAsRead) {
      EXPECT_TRUE(ini.Serialize() == c.bytes) << c.what;
    }
    ini.ReadString("s", "k", "");
    ini.ReadInteger("s", "big", 0);
    ini.WriteString("s", "k", "written");
    ini.WriteString("new", "key", "value");
    EXPECT_EQ(ini.ReadString("S", "K", kFallback), "written") << c.what;
    EXPECT_EQ(ini.ReadString("new", "key", kFallback), "value") << c.what;
    std::string error;
    ASSERT_TRUE(ini.Save(&error)) << error;
    const IniFile again(folder / "a.ini");
    EXPECT_EQ(again.ReadString("S", "K", kFallback), "written") << c.what;
    EXPECT_EQ(again.ReadString("new", "key", kFallback), "value") << c.what;
  }
}

// Catches an erase that leaves a duplicate or differently cased section for the
// next read to find, or takes lines of the neighbouring sections with it.
TEST(IniFile, EraseSectionRemovesEveryCopy) {
  struct {
    const char* what;
    std::string bytes;
    const char* section;
    std::string left;
  } cases[] = {
      {"middle", "[a]\r\nk=1\r\n[s]\r\nk=2\r\n; note\r\n\r\n[b]\r\nk=3\r\n", "s",
       "[a]\r\nk=1\r\n[b]\r\nk=3\r\n"},
      {"every copy, any case, blanks in the header",
       "top=0\r\n[S]\r\nk=1\r\n[a]\r\nk=2\r\n  [ s ]  \r\nk=3\r\n[s]", "s",
       "top=0\r\n[a]\r\nk=2\r\n"},
      {"last, without a final line end", "[a]\r\nk=1\r\n[s]\r\nk=2", "s", "[a]\r\nk=1\r\n"},
      {"missing section", "[a]\r\nk=1\r\n", "s", "[a]\r\nk=1\r\n"},
      {"a key named like the section stays", "[a]\r\ns=1\r\n", "s", "[a]\r\ns=1\r\n"},
      {"name given with blanks", "[a]\r\n[s]\r\nk=1\r\n", " S ", "[a]\r\n"},
  };
  for (const auto& c : cases) {
    TempFolder folder;
    folder.Write("a.ini", c.bytes);
    IniFile ini(folder / "a.ini");
    ini.EraseSection(c.section);
    EXPECT_EQ(ini.Serialize(), c.left) << c.what;
    EXPECT_EQ(ini.ReadString("s", "k", kFallback), kFallback) << c.what;
  }
}

// Catches a section written after an erase landing inside another section, or
// the erased keys coming back.
TEST(IniFile, WriteAfterEraseStartsTheSectionAfresh) {
  TempFolder folder;
  folder.Write("a.ini", "[s]\r\nk=1\r\nold=2\r\n[a]\r\nk=3");
  IniFile ini(folder / "a.ini");
  ini.EraseSection("S");
  ini.WriteString("s", "k", "new");
  std::string error;
  ASSERT_TRUE(ini.Save(&error)) << error;
  EXPECT_EQ(folder.Read("a.ini"), "[a]\r\nk=3\r\n[s]\r\nk=new\r\n");
  const IniFile again(folder / "a.ini");
  EXPECT_EQ(again.ReadString("a", "k", kFallback), "3");
  EXPECT_EQ(again.ReadString("s", "old", kFallback), kFallback);
}

// Catches a section index that goes stale as the file changes: a key written as
// "[x]" reads as a header of its own, erased sections still give line ends or
// take the new section's line end, and a duplicate erased at the front of the
// file still found by later reads and writes.
TEST(IniFile, ReadsAndWritesFollowTheChangedFile) {
  struct Op {
    enum { Write, Erase } kind;
    const char* section;
    const char* key;
    const char* value;
  };
  struct {
    const char* what;
    std::string before;
    std::vector<Op> ops;
    std::string after;
    const char* section;  // then read back
    const char* key;
    const char* value;
  } cases[] = {
      {"a key that reads as a header",
       "[a]\r\nk=1\r\n[b]\r\n",
       {{Op::Write, "a", "[x]", "1"}, {Op::Write, "x", "k", "2"}, {Op::Write, "a", "k", "3"}},
       "[a]\r\nk=3\r\n[x]=1\r\nk=2\r\n[b]\r\n",
       "x",
       "k",
       "2"},
      {"a new section whose key reads as a header",
       "[a]\n",
       {{Op::Write, "n", "[x]", "1"}, {Op::Write, "x", "k", "2"}},
       "[a]\n[n]\n[x]=1\nk=2\n",
       "n",
       "[x]",
       kFallback},
      {"a value that turns the key line into a header",
       "[a]\r\n[k=0\r\nj=1\r\n",
       {{Op::Write, "a", "[k", "v]"}, {Op::Write, "a", "j", "2"}},
       "[a]\r\nj=2\r\n[k=v]\r\nj=1\r\n",
       "k=v",
       "j",
       "1"},
      {"erased sections give no line end",
       "[s]\nk=1\n[a]\r\nk=2\r\n",
       {{Op::Erase, "s", "", ""}, {Op::Write, "a", "n", "v"}, {Op::Write, "c", "k", "v"}},
       "[a]\r\nk=2\r\nn=v\r\n[c]\r\nk=v\r\n",
       "c",
       "k",
       "v"},
      {"an erased last section without a line end",
       "[a]\r\nk=1\r\n[s]\r\nk=2",
       {{Op::Erase, "S", "", ""}, {Op::Write, "s", "k", "3"}, {Op::Write, "a", "j", "4"}},
       "[a]\r\nk=1\r\nj=4\r\n[s]\r\nk=3\r\n",
       "s",
       "k",
       "3"},
      {"a written section found again after its copies went",
       "[s]\r\nk=1\r\n[S]\r\nk=2\r\n",
       {{Op::Erase, "s", "", ""},
        {Op::Write, "s", "k", "3"},
        {Op::Write, "S", "k", "4"},
        {Op::Erase, "s", "", ""},
        {Op::Write, "s", "j", "5"}},
       "[s]\r\nj=5\r\n",
       "s",
       "k",
       kFallback},
  };
  for (const auto& c : cases) {
    TempFolder folder;
    folder.Write("a.ini", c.before);
    IniFile ini(folder / "a.ini");
    for (const Op& op : c.ops) {
      if (op.kind == Op::Write) {
        ini.WriteString(op.section, op.key, op.value);
      } else {
        ini.EraseSection(op.section);
      }
    }
    EXPECT_EQ(ini.Serialize(), c.after) << c.what;
    EXPECT_EQ(ini.ReadString(c.section, c.key, kFallback), c.value) << c.what;
    std::string error;
    ASSERT_TRUE(ini.Save(&error)) << error;
    EXPECT_EQ(IniFile(folder / "a.ini").ReadString(c.section, c.key, kFallback), c.value) << c.what;
  }
}

}  // namespace
}  // namespace tw
