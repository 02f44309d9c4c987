// Writing the station list back: exactly the edited stations, a backup made once
// and never replaced, and the old list kept whole when the write fails.
#include "stations/station_save.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/failure_conditions.h"
#include "tests/support/station_text.h"
#include "tests/support/temp_folder.h"

namespace tw {
namespace {

namespace fs = std::filesystem;
using test::FolderEntries;
using test::LoadedStations;
using test::NumberedStations;
using test::SectionNames;
using test::StationFile;
using test::TempFolder;

const std::vector<Station> kThree = {
    {"Alpha", "http://a/"}, {"Beta", "http://b/"}, {"Gamma & Co", "http://c/"}};

// Catches a save that writes over sections in place and so leaves stations
// after N, or a second copy of a section, to be loaded again.
TEST(SaveStations, WritesExactlyTheListWhateverTheFileHeld) {
  struct {
    const char* what;
    std::string oldBytes;
    std::vector<std::string> sectionsAfter;
  } cases[] = {
      {"five stations", StationFile(NumberedStations(5)), {"001", "002", "003"}},
      {"no file", "", {"001", "002", "003"}},
      {"gaps and a far section",
       "[001]\r\nPath=x\r\n[005]\r\nPath=y\r\n[999]\r\nTitle=z\r\n",
       {"001", "002", "003"}},
      {"a second copy of a section and blanks in a header",
       "[001]\r\nPath=x\r\n[ 004 ]\r\nPath=y\r\n[002]\r\nPath=z\r\n[001]\r\nPath=again\r\n",
       {"001", "002", "003"}},
      {"comment and other sections stay where they are",
       std::string(test::kCommentSection) + "[001]\r\nPath=x\r\n[Extra]\r\nk=v\r\n[0001]\r\n"
                                            "Path=not a station section\r\n[004]\r\nPath=y\r\n",
       {"Comment", "Extra", "0001", "001", "002", "003"}},
  };
  for (const auto& c : cases) {
    TempFolder folder;
    if (!c.oldBytes.empty()) folder.Write("favorites.cfg", c.oldBytes);
    std::string error;
    ASSERT_TRUE(SaveStations(folder.path(), kThree, &error)) << c.what << ": " << error;
    const std::string saved = folder.Read("favorites.cfg");
    EXPECT_EQ(SectionNames(saved), c.sectionsAfter) << c.what;
    EXPECT_EQ(LoadedStations(folder / "favorites.cfg"), kThree) << c.what;
    const IniFile file(folder / "favorites.cfg");
    for (int i = 1; i <= 3; ++i) {
      EXPECT_EQ(file.ReadString(StationSection(i), "AudioNum", ""), "1") << c.what;
    }
  }
}

// Catches the comment lines of the import being dropped or altered by a save.
TEST(SaveStations, CommentSectionSurvivesByteForByte) {
  TempFolder folder;
  folder.Write("favorites.cfg", std::string(test::kCommentSection) + StationFile(kThree));
  std::string error;
  ASSERT_TRUE(SaveStations(folder.path(), {kThree[2]}, &error)) << error;
  EXPECT_EQ(folder.Read("favorites.cfg"),
            std::string(test::kCommentSection) +
                "[001]\r\nPath=http://c/\r\nTitle=Gamma & Co\r\nAudioNum=1\r\n");
}

// Catches a lost URL (or name) when the other half of a station is empty: each
// station is written with its own name and URL.
TEST(SaveStations, EmptyNameOrUrlKeepsTheOtherHalf) {
  TempFolder folder;
  const std::vector<Station> stations = {
      {"A", "http://a/"}, {"", "http://nameless/"}, {"No URL", ""}, {"D", "http://d/"}};
  std::string error;
  ASSERT_TRUE(SaveStations(folder.path(), stations, &error)) << error;
  const IniFile file(folder / "favorites.cfg");
  EXPECT_EQ(file.ReadString("002", "Path", "<none>"), "http://nameless/");
  EXPECT_EQ(file.ReadString("002", "Title", "<none>"), "");
  EXPECT_EQ(file.ReadString("003", "Path", "<none>"), "");
  EXPECT_EQ(file.ReadString("003", "Title", "<none>"), "No URL");
  // The loader keeps them paired: the nameless one is listed under its URL.
  const std::vector<Station> loaded = {{"A", "http://a/"},
                                       {"http://nameless/", "http://nameless/"},
                                       {"No URL", ""},
                                       {"D", "http://d/"}};
  EXPECT_EQ(LoadedStations(folder / "favorites.cfg"), loaded);
}

// Catches a backup replaced by a later save (it must keep the list from before
// the first save) and a save that moves the file away instead of copying it.
TEST(SaveStations, BackupMadeOnceNeverReplaced) {
  TempFolder folder;
  const std::string five = StationFile(NumberedStations(5));
  folder.Write("favorites.cfg", five);
  std::string error;
  ASSERT_TRUE(SaveStations(folder.path(), NumberedStations(3), &error)) << error;
  EXPECT_EQ(folder.Read("favorites.cfg.bak"), five);
  EXPECT_EQ(LoadedStations(folder / "favorites.cfg"), NumberedStations(3));

  ASSERT_TRUE(SaveStations(folder.path(), NumberedStations(1), &error)) << error;
  EXPECT_EQ(folder.Read("favorites.cfg.bak"), five);
  EXPECT_EQ(LoadedStations(folder / "favorites.cfg"), NumberedStations(1));
  EXPECT_EQ(FolderEntries(folder.path()),
            (std::vector<std::string>{"favorites.cfg", "favorites.cfg.bak"}));
}

// Catches a backup taken from a file that will not be replaced: with no file,
// nothing is backed up.
TEST(SaveStations, NoFileNoBackup) {
  TempFolder folder;
  std::string error;
  ASSERT_TRUE(SaveStations(folder.path(), kThree, &error)) << error;
  EXPECT_FALSE(folder.Exists("favorites.cfg.bak"));
}

// Catches a save that, after failing, leaves no list or a torn one on disk, or
// reports success.
TEST(SaveStations, FailedWriteKeepsTheOldFile) {
  const std::string oldBytes = StationFile(kThree);
  for (const bool backupPresent : {false, true}) {
    TempFolder folder;
    folder.Write("favorites.cfg", oldBytes);
    if (backupPresent) folder.Write("favorites.cfg.bak", "older");
    std::string error;
    bool saved;
    {
      test::FileSizeLimit full(oldBytes.size() + 16);
      ASSERT_TRUE(full.active());
      saved = SaveStations(folder.path(), NumberedStations(20), &error);
    }
    EXPECT_FALSE(saved) << backupPresent;
    EXPECT_NE(error.find((folder / "favorites.cfg").string()), std::string::npos) << error;
    EXPECT_EQ(folder.Read("favorites.cfg"), oldBytes) << backupPresent;
    EXPECT_EQ(folder.Read("favorites.cfg.bak"), backupPresent ? "older" : oldBytes);
    EXPECT_EQ(FolderEntries(folder.path()),
              (std::vector<std::string>{"favorites.cfg", "favorites.cfg.bak"}));
  }
}

// Catches a save that replaces a file it could not read (losing its stations)
// or backs it up anyway.
TEST(SaveStations, UnreadableFileIsLeftAlone) {
  TempFolder folder;
  fs::create_directory(folder / "favorites.cfg");
  std::string error;
  EXPECT_FALSE(SaveStations(folder.path(), kThree, &error));
  EXPECT_NE(error.find((folder / "favorites.cfg").string()), std::string::npos) << error;
  EXPECT_TRUE(fs::is_directory(folder / "favorites.cfg"));
  EXPECT_FALSE(folder.Exists("favorites.cfg.bak"));
}

// Catches stations 1000 and beyond being saved, then lost at the next load
// (which reads up to 999) with the save reported as a success.
TEST(SaveStations, RefusesMoreStationsThanTheLoaderReads) {
  TempFolder folder;
  folder.Write("favorites.cfg", StationFile(kThree));
  std::string error;
  ASSERT_TRUE(SaveStations(folder.path(), NumberedStations(999), &error)) << error;
  EXPECT_EQ(LoadedStations(folder / "favorites.cfg").size(), 999u);
  const std::string bytes = folder.Read("favorites.cfg");
  EXPECT_FALSE(SaveStations(folder.path(), NumberedStations(1000), &error));
  EXPECT_NE(error.find("remove 1 "), std::string::npos) << error;
  EXPECT_NE(error.find((folder / "favorites.cfg").string()), std::string::npos) << error;
  EXPECT_EQ(folder.Read("favorites.cfg"), bytes);
}

// Catches a backup that replaces an existing one, or that follows later writes
// to the file, on both the hard-link way and the copying way.
TEST(BackUpWithoutReplacing, KeepsTheBytesAndNeverReplaces) {
  using Backup = bool (*)(const fs::path&, const fs::path&, std::error_code&);
  struct {
    const char* what;
    Backup backup;
  } ways[] = {{"link", &BackUpWithoutReplacing}, {"copy", &detail::CopyWithoutReplacing}};
  for (const auto& way : ways) {
    TempFolder folder;
    folder.Write("f", "old");
    std::error_code error;
    ASSERT_TRUE(way.backup(folder / "f", folder / "f.bak", error)) << way.what << error.message();
    EXPECT_EQ(folder.Read("f.bak"), "old") << way.what;
    // The save replaces the file by a new one, which the backup must not follow.
    folder.Write("f.new", "new");
    fs::rename(folder / "f.new", folder / "f");
    EXPECT_EQ(folder.Read("f.bak"), "old") << way.what;

    EXPECT_FALSE(way.backup(folder / "f", folder / "f.bak", error)) << way.what;
    EXPECT_EQ(error, std::errc::file_exists) << way.what;
    EXPECT_EQ(folder.Read("f.bak"), "old") << way.what;
    EXPECT_EQ(FolderEntries(folder.path()), (std::vector<std::string>{"f", "f.bak"})) << way.what;

    EXPECT_FALSE(way.backup(folder / "missing", folder / "m.bak", error)) << way.what;
    EXPECT_FALSE(folder.Exists("m.bak")) << way.what;
  }
}

// Catches a torn backup left under the real name when the copy fails half way.
TEST(BackUpWithoutReplacing, FailedCopyLeavesNothing) {
  TempFolder folder;
  const std::string big(64 * 1024, 'x');
  folder.Write("f", big);
  std::error_code error;
  bool copied;
  {
    test::FileSizeLimit full(1024);
    ASSERT_TRUE(full.active());
    copied = detail::CopyWithoutReplacing(folder / "f", folder / "f.bak", error);
  }
  EXPECT_FALSE(copied);
  EXPECT_EQ(FolderEntries(folder.path()), (std::vector<std::string>{"f"}));
}

}  // namespace
}  // namespace tw
