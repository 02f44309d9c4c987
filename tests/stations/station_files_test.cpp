// The station file and the radio.txt import, on real files in a temporary
// program folder.
#include <gtest/gtest.h>

#include "platform/ini_file.h"
#include "platform/text.h"
#include "stations/radio_txt.h"
#include "stations/station_list.h"
#include "tests/support/temp_folder.h"

namespace tw {
namespace {

using test::TempFolder;

std::vector<std::pair<std::string, std::string>> Pairs(const std::vector<Station>& stations) {
  std::vector<std::pair<std::string, std::string>> out;
  for (const auto& s : stations) out.emplace_back(s.name, s.url);
  return out;
}

std::vector<std::pair<std::string, std::string>> Load(const TempFolder& folder) {
  return Pairs(ReadStations(IniFile(folder / kStationFileName)));
}

// A section with only a URL or only a name must not shift later stations onto
// other stations' URLs.
TEST(Stations, PairedBySection) {
  TempFolder folder;
  folder.Write(kStationFileName,
               "[001]\r\nPath=http://a/\r\nTitle=A\r\n"
               "[002]\r\nPath=http://only-url/\r\n"
               "[003]\r\nTitle=Only name\r\n"
               "[004]\r\nAudioNum=1\r\n"
               "[005]\r\ntitle=E\r\nPATH=http://e/\r\n"
               "[1000]\r\nPath=http://never/\r\nTitle=Never\r\n");
  std::vector<std::pair<std::string, std::string>> expected = {
      {"A", "http://a/"},
      {"http://only-url/", "http://only-url/"},
      {"Only name", ""},
      {"E", "http://e/"},
  };
  EXPECT_EQ(Load(folder), expected);
}

// Gaps in the numbering do not stop the loader; the order is the section number.
TEST(Stations, GapsAndOrder) {
  TempFolder folder;
  folder.Write(
      kStationFileName,
      "[005]\nPath=u5\nTitle=Five\n[001]\nPath=u1\nTitle=One\n[002]\nPath=u2\nTitle=Two\n");
  std::vector<std::pair<std::string, std::string>> expected = {
      {"One", "u1"}, {"Two", "u2"}, {"Five", "u5"}};
  EXPECT_EQ(Load(folder), expected);
  EXPECT_EQ(StationSection(1), "001");
  EXPECT_EQ(StationSection(999), "999");
  EXPECT_EQ(StationSection(1000), "1000");
}

// radio.txt fields: quotes, doubled quotes, blanks kept, extra fields ignored.
TEST(RadioTxt, LineFields) {
  struct {
    const char* line;
    bool ok;
    const char* name;
    const char* url;
  } cases[] = {
      {"Jazz FM;http://jazz/", true, "Jazz FM", "http://jazz/"},
      {"Jazz FM;stream-url;extra", true, "Jazz FM", "stream-url"},
      {" Blank ; http://b/ ", true, " Blank ", " http://b/ "},
      {"\"Semi;colon\";\"http://q/\"", true, "Semi;colon", "http://q/"},
      {"\"Say \"\"Hi\"\"\";u", true, "Say \"Hi\"", "u"},
      {"Name;", true, "Name", ""},
      {";http://noname/", true, "", "http://noname/"},
      {"", false, "", ""},
      {"no separator", false, "", ""},
      {"\"quoted;but unterminated", false, "", ""},
  };
  for (const auto& c : cases) {
    auto entry = ParseRadioTxtLine(c.line);
    ASSERT_EQ(entry.has_value(), c.ok) << c.line;
    if (!entry) continue;
    EXPECT_EQ(entry->name, c.name) << c.line;
    EXPECT_EQ(entry->url, c.url) << c.line;
  }
}

// CR LF, LF and CR all end lines; a final break adds no empty line.
TEST(RadioTxt, LineEnds) {
  using V = std::vector<std::string_view>;
  EXPECT_EQ(SplitLines("a\r\nb\nc\rd"), (V{"a", "b", "c", "d"}));
  EXPECT_EQ(SplitLines("a\r\n"), (V{"a"}));
  EXPECT_EQ(SplitLines("a\n\nb"), (V{"a", "", "b"}));
  EXPECT_EQ(SplitLines("a\r\r\n"), (V{"a", ""}));
  EXPECT_EQ(SplitLines(""), V{});
}

// A three-line radio.txt becomes sections 001-003 and radio.old; a second run has
// nothing left to import.
TEST(RadioTxt, ImportCreatesStationFileAndRenames) {
  TempFolder folder;
  folder.Write(kRadioTxtFileName, "One;http://1/\r\nTwo;http://2/\nThree;http://3/\r");
  ImportResult result = ImportRadioTxt(folder.path());
  EXPECT_EQ(result.outcome, ImportResult::Outcome::Imported);
  EXPECT_EQ(result.stations, 3);
  EXPECT_FALSE(folder.Exists(kRadioTxtFileName));
  EXPECT_EQ(folder.Read(kRadioOldFileName), "One;http://1/\r\nTwo;http://2/\nThree;http://3/\r");
  std::vector<std::pair<std::string, std::string>> expected = {
      {"One", "http://1/"}, {"Two", "http://2/"}, {"Three", "http://3/"}};
  EXPECT_EQ(Load(folder), expected);
  EXPECT_EQ(folder.Read(kStationFileName),
            "[Comment]\r\n;Varnholt Tunewell Favorites File 0.1\r\n"
            ";converted with Plaintune 0.4=\r\n"
            "[001]\r\nPath=http://1/\r\nTitle=One\r\nAudioNum=1\r\n"
            "[002]\r\nPath=http://2/\r\nTitle=Two\r\nAudioNum=1\r\n"
            "[003]\r\nPath=http://3/\r\nTitle=Three\r\nAudioNum=1\r\n");
}

// The import overwrites sections 001..N of an existing file and keeps the rest;
// an existing radio.old is never replaced, so radio.txt stays for the next start.
TEST(RadioTxt, ImportIntoExistingFileKeepsRadioOld) {
  TempFolder folder;
  folder.Write(kStationFileName,
               "; my list\r\n[001]\r\nPath=old1\r\nTitle=Old1\r\nAudioNum=1\r\n"
               "[002]\r\nPath=old2\r\nTitle=Old2\r\n[Extra]\r\nKey=kept\r\n");
  folder.Write(kRadioOldFileName, "previous");
  folder.Write(kRadioTxtFileName, "New;new1\r\n");
  ImportResult result = ImportRadioTxt(folder.path());
  EXPECT_EQ(result.outcome, ImportResult::Outcome::Imported);
  std::vector<std::pair<std::string, std::string>> expected = {{"New", "new1"}, {"Old2", "old2"}};
  EXPECT_EQ(Load(folder), expected);
  EXPECT_EQ(IniFile(folder / kStationFileName).ReadString("extra", "key", ""), "kept");
  EXPECT_EQ(folder.Read(kRadioOldFileName), "previous");
  EXPECT_TRUE(folder.Exists(kRadioTxtFileName));
  // Importing again does not pile up further copies of the comment lines.
  ImportRadioTxt(folder.path());
  std::string file = folder.Read(kStationFileName);
  EXPECT_EQ(file.find(";converted with Plaintune 0.4"),
            file.rfind(";converted with Plaintune 0.4"));
}

// A malformed line stops the import: earlier sections are saved, the bad line
// writes nothing, radio.txt keeps its name.
TEST(RadioTxt, MalformedLineKeepsEarlierSections) {
  TempFolder folder;
  folder.Write(kRadioTxtFileName, "One;u1\r\nbroken line\r\nThree;u3\r\n");
  ImportResult result = ImportRadioTxt(folder.path());
  EXPECT_EQ(result.outcome, ImportResult::Outcome::Malformed);
  EXPECT_EQ(result.stations, 1);
  EXPECT_TRUE(folder.Exists(kRadioTxtFileName));
  EXPECT_FALSE(folder.Exists(kRadioOldFileName));
  std::vector<std::pair<std::string, std::string>> expected = {{"One", "u1"}};
  EXPECT_EQ(Load(folder), expected);
}

// Byte-order marks select UTF-8 or UTF-16; without one the file is 8-bit text.
TEST(RadioTxt, Encodings) {
  struct {
    std::string bytes;
    const char* name;
  } cases[] = {
      {"\xEF\xBB\xBF"
       "Caf\xC3\xA9;u\r\n",
       "Caf\xC3\xA9"},
      {std::string("\xFF\xFE"
                   "C\0a\0f\0\xE9\0;\0u\0\r\0\n\0",
                   18),
       "Caf\xC3\xA9"},
      {std::string("\xFE\xFF"
                   "\0C\0a\0f\0\xE9\0;\0u",
                   14),
       "Caf\xC3\xA9"},
      {"Caf\xE9;u", "Caf\xC3\xA9"},
  };
  for (const auto& c : cases) {
    TempFolder folder;
    folder.Write(kRadioTxtFileName, c.bytes);
    ASSERT_EQ(ImportRadioTxt(folder.path()).outcome, ImportResult::Outcome::Imported);
    auto stations = ReadStations(IniFile(folder / kStationFileName));
    ASSERT_EQ(stations.size(), 1u);
    EXPECT_EQ(stations[0].name, c.name);
    EXPECT_EQ(stations[0].url, "u");
  }
}

}  // namespace
}  // namespace tw
