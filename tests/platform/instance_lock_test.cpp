#include "platform/instance_lock.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <optional>
#include <string>

#include "tests/support/temp_folder.h"

namespace tw {
namespace {

namespace fs = std::filesystem;
using test::TempFolder;

// A lock name no other run, test or user shares.
std::string UniqueName(const char* what) {
  static int counter = 0;
  return "tunewell-test-" + std::string(what) + "-" + std::to_string(getpid()) + "-" +
         std::to_string(++counter);
}

std::string TmpLockFile(const std::string& name) {
  return "/tmp/" + name + "-" + std::to_string(geteuid()) + ".lock";
}

// Sets (or with nullopt removes) XDG_RUNTIME_DIR, and puts it back afterwards.
class RuntimeDir {
 public:
  explicit RuntimeDir(const std::optional<std::string>& value) {
    if (const char* old = getenv("XDG_RUNTIME_DIR")) old_ = old;
    if (value) {
      setenv("XDG_RUNTIME_DIR", value->c_str(), 1);
    } else {
      unsetenv("XDG_RUNTIME_DIR");
    }
  }
  ~RuntimeDir() {
    if (old_) {
      setenv("XDG_RUNTIME_DIR", old_->c_str(), 1);
    } else {
      unsetenv("XDG_RUNTIME_DIR");
    }
  }
  RuntimeDir(const RuntimeDir&) = delete;
  RuntimeDir& operator=(const RuntimeDir&) = delete;

 private:
  std::optional<std::string> old_;
};

// Removes a lock file made in /tmp when the test ends.
struct RemoveAtEnd {
  std::string file;
  ~RemoveAtEnd() { unlink(file.c_str()); }
};

// Catches a second copy that is let run, a lock that outlives its owner (so the
// player could never start again), and locks of other names that block.
TEST(InstanceLock, SecondHolderIsRefusedUntilTheFirstEnds) {
  TempFolder runtime;
  const RuntimeDir env(runtime.path().string());
  const std::string name = UniqueName("second");
  {
    const InstanceLock first(name);
    ASSERT_EQ(first.state(), InstanceLock::State::Acquired) << first.error();
    EXPECT_EQ(first.file(), (runtime / (name + ".lock")).string());

    const InstanceLock second(name);
    EXPECT_EQ(second.state(), InstanceLock::State::HeldElsewhere) << second.error();

    const InstanceLock other(name + "-other");
    EXPECT_EQ(other.state(), InstanceLock::State::Acquired) << other.error();
  }
  const InstanceLock again(name);
  EXPECT_EQ(again.state(), InstanceLock::State::Acquired) << again.error();
}

// Catches a lock file in a folder that is not there (or not a folder), which
// would make every start fail, and a /tmp file that other users could share.
TEST(InstanceLock, FallsBackToTmpWithTheUserId) {
  TempFolder folder;
  folder.Write("not-a-folder", "");
  struct Case {
    const char* what;
    std::optional<std::string> runtime_dir;
  };
  const Case cases[] = {
      {"unset", std::nullopt},
      {"empty", ""},
      {"a file", (folder / "not-a-folder").string()},
      {"missing", (folder / "missing").string()},
  };
  for (const Case& c : cases) {
    const RuntimeDir env(c.runtime_dir);
    const std::string name = UniqueName("tmp");
    const RemoveAtEnd cleanup{TmpLockFile(name)};
    const InstanceLock lock(name);
    EXPECT_EQ(lock.state(), InstanceLock::State::Acquired) << c.what << ": " << lock.error();
    EXPECT_EQ(lock.file(), TmpLockFile(name)) << c.what;
    EXPECT_TRUE(fs::is_regular_file(TmpLockFile(name))) << c.what;
  }
  EXPECT_FALSE(fs::exists(folder / "missing"));
}

// Catches a lock file opened through a link planted in /tmp, which lets another
// user make the player create or lock a file of their choosing.
TEST(InstanceLock, RefusesALinkPlantedInTmp) {
  const RuntimeDir env(std::nullopt);
  TempFolder folder;
  const std::string name = UniqueName("link");
  const RemoveAtEnd cleanup{TmpLockFile(name)};
  fs::create_symlink(folder / "victim", TmpLockFile(name));

  const InstanceLock lock(name);
  EXPECT_EQ(lock.state(), InstanceLock::State::Unavailable);
  EXPECT_NE(lock.error().find(TmpLockFile(name)), std::string::npos) << lock.error();
  EXPECT_FALSE(fs::exists(folder / "victim"));
  EXPECT_TRUE(fs::is_symlink(TmpLockFile(name)));
}

// Catches a name that climbs out of the lock folder being used as a path.
TEST(InstanceLock, RefusesNamesThatAreNotPlainFileNames) {
  TempFolder base;
  fs::create_directory(base / "runtime");
  const RuntimeDir env((base / "runtime").string());
  for (const std::string name : {"", "../escaped", "a/b"}) {
    const InstanceLock lock(name);
    EXPECT_EQ(lock.state(), InstanceLock::State::Unavailable) << name;
    EXPECT_FALSE(lock.error().empty()) << name;
  }
  EXPECT_FALSE(fs::exists(base / "escaped.lock"));
  EXPECT_TRUE(fs::is_empty(base / "runtime"));
}

}  // namespace
}  // namespace tw
