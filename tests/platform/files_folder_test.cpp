#include "platform/files_folder.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "tests/support/temp_folder.h"

namespace tw {
namespace {

namespace fs = std::filesystem;

// An installed layout: <root>/bin (the program) beside <root>/share/tunewell.
struct Layout {
  test::TempFolder root;
  fs::path bin = root / "bin";
  fs::path config = root / "config";
  explicit Layout(bool shipped) {
    fs::create_directory(bin);
    if (shipped) {
      fs::create_directories(root / "share" / "tunewell");
      root.Write("share/tunewell/favorites.cfg", "[001]\r\nPath=http://a/\r\nTitle=A\r\n");
    }
  }
};

// Catches files going to the wrong place: a portable folder must keep its files
// (every folder of today), an installed program must not write beside itself.
TEST(FilesFolder, PortableFolderOrConfigurationFolder) {
  {
    Layout portable(/*shipped=*/false);
    EXPECT_EQ(ChooseFilesFolder({portable.bin, portable.config.string(), "/home/x"}), portable.bin);
  }
  {
    // A folder holding its station list stays portable, even installed.
    Layout old(/*shipped=*/true);
    old.root.Write("bin/favorites.cfg", "");
    EXPECT_EQ(ChooseFilesFolder({old.bin, old.config.string(), "/home/x"}), old.bin);
  }
  {
    Layout installed(/*shipped=*/true);
    EXPECT_EQ(ChooseFilesFolder({installed.bin, installed.config.string(), "/home/x"}),
              installed.config / "tunewell");
    // Unset or relative XDG_CONFIG_HOME: ~/.config.
    EXPECT_EQ(ChooseFilesFolder({installed.bin, "", "/home/x"}),
              fs::path("/home/x/.config/tunewell"));
    EXPECT_EQ(ChooseFilesFolder({installed.bin, "relative/config", "/home/x"}),
              fs::path("/home/x/.config/tunewell"));
  }
}

// Catches a program folder that cannot be written being used anyway (every save
// would fail).
TEST(FilesFolder, UnwritableProgramFolderWithoutStationList) {
  Layout locked(/*shipped=*/false);
  fs::permissions(locked.bin, fs::perms::owner_read | fs::perms::owner_exec,
                  fs::perm_options::replace);
  if (::access(locked.bin.c_str(), W_OK) == 0) {
    fs::permissions(locked.bin, fs::perms::owner_all, fs::perm_options::replace);
    GTEST_SKIP() << "this user may write anywhere";
  }
  EXPECT_EQ(ChooseFilesFolder({locked.bin, locked.config.string(), "/home/x"}),
            locked.config / "tunewell");
  fs::permissions(locked.bin, fs::perms::owner_all, fs::perm_options::replace);
}

// Catches a first start without stations, an overwritten station list at a
// later start, and a folder other users can read.
TEST(FilesFolder, FirstStartSeedsOnceInAPrivateFolder) {
  Layout installed(/*shipped=*/true);
  const fs::path folder = installed.config / "deeper" / "tunewell";
  PrepareFilesFolder(folder, installed.bin);
  struct stat info {};
  ASSERT_EQ(::stat(folder.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700u);
  ASSERT_EQ(::stat(folder.parent_path().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700u);
  EXPECT_EQ(installed.root.Read("config/deeper/tunewell/favorites.cfg"),
            "[001]\r\nPath=http://a/\r\nTitle=A\r\n");
  EXPECT_FALSE(fs::exists(folder / "favorites.cfg.new"));

  installed.root.Write("config/deeper/tunewell/favorites.cfg", "mine");
  PrepareFilesFolder(folder, installed.bin);
  EXPECT_EQ(installed.root.Read("config/deeper/tunewell/favorites.cfg"), "mine");

  // An old plain list waiting for its import is not hidden behind the default one.
  Layout importing(/*shipped=*/true);
  fs::create_directory(importing.config);
  importing.root.Write("config/radio.txt", "One;http://1/\r\n");
  PrepareFilesFolder(importing.config, importing.bin);
  EXPECT_FALSE(fs::exists(importing.config / "favorites.cfg"));
}

}  // namespace
}  // namespace tw
