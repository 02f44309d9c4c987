// The settings file, on real files in a temporary program folder.
#include "app/settings.h"

#include <gtest/gtest.h>

#include "platform/ini_file.h"
#include "tests/support/temp_folder.h"

namespace tw {
namespace {

using test::TempFolder;

// Settings: keys in any case, the PlayLast double read, low 8 bits, LAST -1,
// values that are no whole number.
TEST(Settings, ReadQuirks) {
  struct {
    const char* file;
    bool playLast;
    int autoPlay;
    int volume;
    int bar;
    int last;
    int device;
    bool startTray;
  } cases[] = {
      {"", false, 0, 48, 48, 1, 0, false},
      {"[MAIN]\r\nPlayLast=1\r\n", true, 1, 48, 48, 1, 0, false},
      {"[MAIN]\r\nPlayLast=2\r\n", true, 2, 48, 48, 1, 0, false},
      {"[MAIN]\r\nPlayLast=257\r\n", true, 1, 48, 48, 1, 0, false},
      {"[main]\r\nvolume=0x30\r\nlast=-1\r\ndevice=-1\r\nstarttray=true\r\n", false, 0, 48, 48, 0,
       -1, false},
      {"[MAIN]\r\nVOLUME=300\r\nStartTray=1\r\n", false, 0, 44, 44, 1, 0, true},
      {"[MAIN]\r\nVOLUME=150\r\nLAST=7\r\nDevice=3\r\n", false, 0, 150, 100, 7, 3, false},
      {"[MAIN]\r\nVOLUME=junk\r\nLAST=\r\n", false, 0, 48, 48, 1, 0, false},
      // Text that only starts with a number is no number: the defaults.
      {"[MAIN]\r\nPlayLast=1abc\r\nVOLUME=50%\r\nLAST=2x\r\nDevice=0x\r\n", false, 0, 48, 48, 1, 0,
       false},
      {"[MAIN]\r\nVOLUME = 0X3c \r\nLAST=4294967296\r\nStartTray=+1\r\n", false, 0, 60, 60, 1, 0,
       true},
  };
  for (const auto& c : cases) {
    TempFolder folder;
    if (*c.file) folder.Write(kSettingsFileName, c.file);
    StoredSettings s = ReadSettings(IniFile(folder / kSettingsFileName));
    EXPECT_EQ(s.playLast, c.playLast) << c.file;
    EXPECT_EQ(s.autoPlayFlag, c.autoPlay) << c.file;
    EXPECT_EQ(s.startupVolume, c.volume) << c.file;
    EXPECT_EQ(s.VolumeBarPosition(), c.bar) << c.file;
    EXPECT_EQ(s.last, c.last) << c.file;
    EXPECT_EQ(s.device, c.device) << c.file;
    EXPECT_EQ(s.startTray, c.startTray) << c.file;
  }
}

// Written settings come back the same, in the written key order, and other keys
// and sections survive.
TEST(Settings, WriteKeepsOtherKeysAndReadsBack) {
  TempFolder folder;
  folder.Write(kSettingsFileName, "[Other]\r\nx=1\r\n[MAIN]\r\nNOHINT=0\r\nCustom=keep\r\n");
  SettingsToWrite out{77, 3, -1, true, true, true};
  std::string error;
  ASSERT_TRUE(WriteSettings(folder / kSettingsFileName, out, &error)) << error;
  EXPECT_EQ(folder.Read(kSettingsFileName),
            "[Other]\r\nx=1\r\n[MAIN]\r\nNOHINT=1\r\nCustom=keep\r\nVOLUME=77\r\nLAST=3\r\n"
            "Device=-1\r\nStartTray=1\r\nPlaylast=1\r\n");
  StoredSettings back = ReadSettings(IniFile(folder / kSettingsFileName));
  EXPECT_TRUE(back.noHint && back.startTray && back.playLast);
  EXPECT_EQ(back.startupVolume, 77);
  EXPECT_EQ(back.last, 3);
  EXPECT_EQ(back.device, -1);

  TempFolder fresh;
  ASSERT_TRUE(WriteSettings(fresh / kSettingsFileName, {48, -1, 0, false, false, false}, &error));
  EXPECT_EQ(fresh.Read(kSettingsFileName),
            "[MAIN]\r\nVOLUME=48\r\nLAST=-1\r\nDevice=0\r\nStartTray=0\r\nPlaylast=0\r\n"
            "NoHint=0\r\n");
}

// A settings file that cannot be written is reported by name and left intact.
TEST(Settings, WriteFailureNamesFile) {
  TempFolder folder;
  std::filesystem::create_directory(folder / kSettingsFileName);  // not a file
  std::string error;
  EXPECT_FALSE(WriteSettings(folder / kSettingsFileName, {}, &error));
  EXPECT_NE(error.find(kSettingsFileName), std::string::npos) << error;
  EXPECT_TRUE(std::filesystem::is_directory(folder / kSettingsFileName));
}

}  // namespace
}  // namespace tw
