#include "platform/song_file.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "platform/text_codec.h"

namespace tw {
namespace {

// Catches a station's title that names a file outside the songs folder, a
// hidden file, a name the file system refuses (too long, NUL, '/'), broken
// UTF-8 in a name, or a saved song that would replace another.
TEST(SongFileTest, TitlesMakeSafeNamesInsideTheFolder) {
  const std::string longTitle(10 * 1024, 'x');
  std::string longAccents;
  for (int i = 0; i < 5000; ++i) longAccents += "\xC3\xA9";  // é
  struct Case {
    std::string title;
    int copy;
    std::string expected;  // "" when only the rules are checked
  } cases[] = {
      {"Band - Song", 1, "Band - Song.mp3"},
      {"Band - Song", 3, "Band - Song (3).mp3"},
      {"AC/DC - T.N.T.", 1, "AC_DC - T.N.T..mp3"},
      {"../../etc/passwd", 1, "_.._etc_passwd.mp3"},
      {"/etc/passwd", 1, "_etc_passwd.mp3"},
      {"...", 1, "Untitled.mp3"},
      {".", 1, "Untitled.mp3"},
      {"", 2, "Untitled (2).mp3"},
      {".hidden", 1, "hidden.mp3"},
      {std::string("a\tb\nc\x01"
                   "d\x7F"
                   "e\0f",
                   11),
       1, "a b c d e f.mp3"},
      {"  spaced \r\n out  ", 1, "spaced out.mp3"},
      {"Caf\xE9 \x80", 1, "Caf\xC3\xA9 \xE2\x82\xAC.mp3"},  // Windows-1252, as stations send it
      {"\x81\x8D", 1, "Untitled.mp3"},                      // C1 controls only
      {longTitle, 1, std::string(kSongTitleBytes, 'x') + ".mp3"},
      {longAccents, 1, ""},
  };
  const std::filesystem::path folder = "/home/user/Music/Tunewell";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.title.substr(0, 40));
    const std::string name = SongFileName(c.title, "mp3", c.copy);
    if (!c.expected.empty()) {
      EXPECT_EQ(name, c.expected);
    }
    EXPECT_TRUE(IsValidUtf8(name));
    EXPECT_LE(name.size(), 255u);
    EXPECT_FALSE(name.starts_with('.'));
    EXPECT_EQ(name.find('/'), std::string::npos);
    EXPECT_EQ(name.find('\0'), std::string::npos);
    EXPECT_EQ((folder / name).parent_path(), folder);
    EXPECT_TRUE(name.ends_with(".mp3"));
  }
}

// Catches songs saved somewhere else than the music folder the desktop names
// (its environment variable, then user-dirs.dirs), or into a relative path,
// that is the current directory.
TEST(SongFileTest, MusicFolderFollowsTheUsersSetting) {
  struct Case {
    const char* name;
    MusicFolderInputs in;
    const char* expected;
  } cases[] = {
      {"environment", {"/data/music", "/home/u", "XDG_MUSIC_DIR=\"/mnt/m\"\n"}, "/data/music"},
      {"relative environment is ignored", {"music", "/home/u", ""}, "/home/u/Music"},
      {"user-dirs.dirs under home",
       {"", "/home/u",
        "# comment\nXDG_DESKTOP_DIR=\"$HOME/Desktop\"\nXDG_MUSIC_DIR=\"$HOME/Musik\"\n"},
       "/home/u/Musik"},
      {"user-dirs.dirs absolute", {"", "/home/u", "XDG_MUSIC_DIR=\"/mnt/m\"\n"}, "/mnt/m"},
      {"disabled in user-dirs.dirs",
       {"", "/home/u", "XDG_MUSIC_DIR=\"$HOME/\"\n"},
       "/home/u/Music"},
      {"commented out", {"", "/home/u", "#XDG_MUSIC_DIR=\"/mnt/m\"\n"}, "/home/u/Music"},
      {"nothing set", {"", "/home/u", ""}, "/home/u/Music"},
      {"no home folder", {"", "", "XDG_MUSIC_DIR=\"$HOME/Musik\"\n"}, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(ChooseMusicFolder(c.in), std::filesystem::path(c.expected));
  }
}

}  // namespace
}  // namespace tw
