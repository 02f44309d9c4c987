#include "platform/program_folder.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "tests/support/temp_folder.h"

namespace tw {
namespace {

namespace fs = std::filesystem;

// Catches the current directory (or a relative path that depends on it) taken
// for the program's folder.
TEST(ProgramFolder, IsTheFolderOfTheRunningProgramWhereverWeRun) {
  test::TempFolder elsewhere;
  const fs::path oldCurrent = fs::current_path();
  fs::current_path(elsewhere.path());
  const fs::path folder = ProgramFolder();
  fs::current_path(oldCurrent);

  ASSERT_TRUE(folder.is_absolute()) << folder;
  ASSERT_TRUE(fs::is_directory(folder)) << folder;
  EXPECT_FALSE(fs::equivalent(folder, elsewhere.path()));
  bool holdsThisProgram = false;
  for (const auto& entry : fs::directory_iterator(folder)) {
    std::error_code ignored;
    if (fs::equivalent(entry.path(), "/proc/self/exe", ignored)) holdsThisProgram = true;
  }
  EXPECT_TRUE(holdsThisProgram) << folder;
}

}  // namespace
}  // namespace tw
