#include "platform/atomic_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
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

mode_t ModeOf(const fs::path& path) {
  struct stat info {};
  EXPECT_EQ(stat(path.c_str(), &info), 0) << path;
  return info.st_mode & 07777;
}

std::string Contains(const std::string& text, const std::string& part) {
  return text.find(part) != text.npos ? "" : "\"" + text + "\" lacks \"" + part + "\"";
}

// Catches reads that stop at a NUL byte, lose the tail of a large file, or
// report a missing file as some other failure (or the reverse).
TEST(ReadWholeFile, ReadsBytesAndTellsMissingFromUnreadable) {
  TempFolder folder;
  const std::string binary = "a\0b\r\n\xFF\xFE"s + std::string(200000, 'x') + "end";
  folder.Write("data.bin", binary);
  fs::create_directory(folder / "folder");
  mkfifo((folder / "fifo").c_str(), 0600);  // opening it plainly would wait for a writer

  struct Case {
    std::string name;
    bool ok;
    bool missing;
    std::string bytes;
  };
  const Case cases[] = {
      {"data.bin", true, false, binary},
      {"nothing-here", false, true, ""},
      {"folder", false, false, ""},
      {"fifo", false, false, ""},
  };
  for (const Case& c : cases) {
    std::string bytes = "stale";
    std::string error;
    bool missing = !c.missing;
    EXPECT_EQ(ReadWholeFile(folder / c.name, &bytes, &error, &missing), c.ok) << c.name;
    EXPECT_EQ(missing, c.missing) << c.name;
    EXPECT_EQ(bytes, c.bytes) << c.name;
    if (!c.ok) {
      EXPECT_EQ(Contains(error, (folder / c.name).string()), "");
    }
  }
}

// Catches a new file left with mkstemp's 0600, which other programs of the user
// could not read, or a mode that ignores the umask.
TEST(WriteFileAtomically, NewFileGetsModeFromUmask) {
  TempFolder folder;
  for (const mode_t mask : {mode_t{022}, mode_t{027}, mode_t{077}}) {
    const mode_t oldMask = umask(mask);
    std::string error;
    const fs::path path = folder / ("new-" + std::to_string(mask));
    const bool ok = WriteFileAtomically(path, "contents", &error);
    umask(oldMask);
    ASSERT_TRUE(ok) << error;
    EXPECT_EQ(folder.Read(path.filename().string()), "contents");
    EXPECT_EQ(ModeOf(path), 0644 & ~mask) << "umask " << std::oct << mask;
  }
}

// Catches a replaced file that loses its permissions (a private file becoming
// readable by others, or a read-only one becoming writable), or keeps stale
// bytes past the new end.
TEST(WriteFileAtomically, ReplacingKeepsTheOldMode) {
  TempFolder folder;
  for (const mode_t mode : {mode_t{0600}, mode_t{0640}, mode_t{0755}, mode_t{0444}}) {
    const std::string name = "file-" + std::to_string(mode);
    folder.Write(name, std::string(1000, 'o'));
    fs::permissions(folder / name, fs::perms(mode));
    std::string error;
    ASSERT_TRUE(WriteFileAtomically(folder / name, "new", &error)) << error;
    EXPECT_EQ(folder.Read(name), "new");
    EXPECT_EQ(ModeOf(folder / name), mode) << std::oct << mode;
  }
  std::vector<std::string> expected = {"file-292", "file-384", "file-416", "file-493"};
  EXPECT_EQ(FolderEntries(folder.path()), expected);  // no temporary files left
}

// Catches a symbolic link replaced by a plain file (cutting the user's link to
// the real file) and temporary files made where the rename cannot reach.
TEST(WriteFileAtomically, WritesThroughSymbolicLinks) {
  TempFolder folder;
  fs::create_directories(folder / "real");
  fs::create_directories(folder / "links");
  folder.Write("real/settings.ini", "old");
  fs::create_symlink("../real/settings.ini", folder / "links/relative.ini");
  fs::create_symlink(folder / "links/relative.ini", folder / "links/chain.ini");
  fs::create_symlink("../real/created.ini", folder / "links/dangling.ini");

  struct Case {
    std::string link;
    std::string target;
  };
  const Case cases[] = {
      {"links/relative.ini", "real/settings.ini"},
      {"links/chain.ini", "real/settings.ini"},
      {"links/dangling.ini", "real/created.ini"},
  };
  for (const Case& c : cases) {
    const std::string contents = "written via " + c.link;
    std::string error;
    ASSERT_TRUE(WriteFileAtomically(folder / c.link, contents, &error)) << error;
    EXPECT_TRUE(fs::is_symlink(folder / c.link)) << c.link;
    EXPECT_EQ(folder.Read(c.target), contents) << c.link;
  }
  EXPECT_EQ(FolderEntries(folder / "links"),
            (std::vector<std::string>{"chain.ini", "dangling.ini", "relative.ini"}));
  EXPECT_EQ(FolderEntries(folder / "real"),
            (std::vector<std::string>{"created.ini", "settings.ini"}));
}

// Catches a failure reported as success, a message that does not say which file,
// a damaged old file, and a temporary file left behind, for failures at each
// step: creating the temporary file, writing it, and renaming it.
TEST(WriteFileAtomically, FailureLeavesOldFileAndNoTemporaryFile) {
  enum class Fault { ReadOnlyFolder, DiskFull, TargetIsFolder, FolderIsFile };
  struct Case {
    Fault fault;
    std::string reason;  // part of the message
  };
  const Case cases[] = {
      {Fault::ReadOnlyFolder, "Permission denied"},
      {Fault::DiskFull, "File too large"},
      {Fault::TargetIsFolder, "Is a directory"},
      {Fault::FolderIsFile, "Not a directory"},
  };
  const std::string oldBytes = "old contents\r\nkept\r\n";
  const std::string newBytes(100000, 'n');  // larger than one write of the limit
  for (const Case& c : cases) {
    TempFolder folder;
    fs::path target = folder / "settings.ini";
    if (c.fault == Fault::TargetIsFolder) {
      fs::create_directory(target);
    } else if (c.fault == Fault::FolderIsFile) {
      folder.Write("plain", "x");
      target = folder / "plain/settings.ini";
    } else {
      folder.Write("settings.ini", oldBytes);
    }
    const std::vector<std::string> before = FolderEntries(folder.path());

    bool ok = true;
    std::string error;
    if (c.fault == Fault::ReadOnlyFolder) {
      test::ReadOnlyFolder readOnly(folder.path());
      ASSERT_TRUE(readOnly.effective());
      ok = WriteFileAtomically(target, newBytes, &error);
    } else if (c.fault == Fault::DiskFull) {
      test::FileSizeLimit limit(4096);
      const bool limited = limit.active();
      ok = WriteFileAtomically(target, newBytes, &error);
      limit.Lift();
      ASSERT_TRUE(limited);
    } else {
      ok = WriteFileAtomically(target, newBytes, &error);
    }

    EXPECT_FALSE(ok) << c.reason;
    EXPECT_EQ(Contains(error, "Can't write " + target.string()), "");
    EXPECT_EQ(Contains(error, c.reason), "");
    EXPECT_EQ(FolderEntries(folder.path()), before) << c.reason;
    if (c.fault == Fault::ReadOnlyFolder || c.fault == Fault::DiskFull) {
      EXPECT_EQ(folder.Read("settings.ini"), oldBytes) << c.reason;
    }
    if (c.fault == Fault::TargetIsFolder) {
      EXPECT_TRUE(fs::is_directory(target));
    }
  }
}

// Catches a crash's leftovers kept for good, and a clean-up that takes what is
// not its own: other names, a save running now, links, folders, near misses.
TEST(RemoveStaleTemporaries, RemovesOnlyOurOldTemporaryFiles) {
  TempFolder folder;
  const auto old = fs::file_time_type::clock::now() - std::chrono::minutes(5);
  struct Case {
    std::string name;
    bool old;
    bool removed;
  } cases[] = {
      {".radio_config.cfg.a1B2c3", true, true},   {".favorites.cfg.XyZ789", true, true},
      {".radio_config.cfg.a1B2c4", false, false}, {".other.cfg.a1B2c3", true, false},
      {"radio_config.cfg.a1B2c3", true, false},   {".radio_config.cfg.a1B2c", true, false},
      {".radio_config.cfg.a1B2c3x", true, false}, {".radio_config.cfg.a1-2c3", true, false},
      {".radio_config.cfg", true, false},         {"radio_config.cfg", true, false},
  };
  for (const Case& c : cases) {
    folder.Write(c.name, "x");
    if (c.old) fs::last_write_time(folder / c.name, old);
  }
  fs::create_directory(folder / ".favorites.cfg.Dir123");
  fs::last_write_time(folder / ".favorites.cfg.Dir123", old);
  fs::create_symlink(folder / "radio_config.cfg", folder / ".favorites.cfg.Lnk123");
  // Another user's file of the same pattern is not ours to remove.
  const bool asRoot = geteuid() == 0;
  if (asRoot) {
    folder.Write(".favorites.cfg.Oth123", "x");
    fs::last_write_time(folder / ".favorites.cfg.Oth123", old);
    ASSERT_EQ(chown((folder / ".favorites.cfg.Oth123").c_str(), 65534, 65534), 0);
  }

  EXPECT_EQ(RemoveStaleTemporaries(folder.path(), {"radio_config.cfg", "favorites.cfg"},
                                   std::chrono::minutes(1)),
            2);
  for (const Case& c : cases) EXPECT_EQ(fs::exists(folder / c.name), !c.removed) << c.name;
  EXPECT_TRUE(fs::is_directory(folder / ".favorites.cfg.Dir123"));
  EXPECT_TRUE(fs::is_symlink(folder / ".favorites.cfg.Lnk123"));
  EXPECT_TRUE(fs::exists(folder / "radio_config.cfg"));
  if (asRoot) {
    EXPECT_TRUE(fs::exists(folder / ".favorites.cfg.Oth123"));
  }
}

}  // namespace
}  // namespace tw
