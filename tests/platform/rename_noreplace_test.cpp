#include "platform/rename_noreplace.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <system_error>

#include "tests/support/temp_folder.h"

namespace tw {
namespace {

using test::TempFolder;

using RenameFunction = bool (*)(const std::filesystem::path&, const std::filesystem::path&,
                                std::error_code&);

struct Way {
  const char* name;
  RenameFunction rename;
};

// Both the renameat2 way and the link-and-unlink way used where renameat2 cannot
// refuse to replace.
const Way kWays[] = {
    {"RenameNoReplace", &RenameNoReplace},
    {"by link", &detail::RenameNoReplaceByLink},
};

// Catches a rename that replaces (and so loses) an existing file, a refusal
// without EEXIST, or a refusal that still touches either file.
TEST(RenameNoReplace, RefusesToReplaceAnExistingFile) {
  for (const Way& way : kWays) {
    TempFolder folder;
    folder.Write("from", "new");
    folder.Write("to", "precious");
    std::error_code error;
    EXPECT_FALSE(way.rename(folder / "from", folder / "to", error)) << way.name;
    EXPECT_EQ(error, std::errc::file_exists) << way.name << ": " << error.message();
    EXPECT_EQ(folder.Read("to"), "precious") << way.name;
    EXPECT_EQ(folder.Read("from"), "new") << way.name;
  }
}

// Catches a rename that copies instead of moves, leaves a stale error behind on
// success, or reports success for a missing source.
TEST(RenameNoReplace, RenamesWhenTheTargetIsFree) {
  for (const Way& way : kWays) {
    TempFolder folder;
    folder.Write("from", "contents");
    std::error_code error = std::make_error_code(std::errc::io_error);
    EXPECT_TRUE(way.rename(folder / "from", folder / "to", error)) << way.name;
    EXPECT_FALSE(error) << way.name << ": " << error.message();
    EXPECT_FALSE(folder.Exists("from")) << way.name;
    EXPECT_EQ(folder.Read("to"), "contents") << way.name;

    EXPECT_FALSE(way.rename(folder / "missing", folder / "other", error)) << way.name;
    EXPECT_EQ(error, std::errc::no_such_file_or_directory) << way.name;
    EXPECT_FALSE(folder.Exists("other")) << way.name;
  }
}

}  // namespace
}  // namespace tw
