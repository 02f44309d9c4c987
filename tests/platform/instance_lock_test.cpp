#include "platform/instance_lock.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
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

std::string TmpLockFolder(const std::string& name) {
  return "/tmp/" + name + "-" + std::to_string(geteuid());
}

std::string TmpLockFile(const std::string& name) {
  return TmpLockFolder(name) + "/" + name + ".lock";
}

// Sets (or with nullopt removes) an environment variable, and puts it back
// afterwards.
class EnvVar {
 public:
  EnvVar(const char* name, const std::optional<std::string>& value) : name_(name) {
    if (const char* old = getenv(name)) old_ = old;
    Set(value);
  }
  ~EnvVar() { Set(old_); }
  EnvVar(const EnvVar&) = delete;
  EnvVar& operator=(const EnvVar&) = delete;

 private:
  void Set(const std::optional<std::string>& value) {
    if (value) {
      setenv(name_, value->c_str(), 1);
    } else {
      unsetenv(name_);
    }
  }
  const char* name_;
  std::optional<std::string> old_;
};

class RuntimeDir : public EnvVar {
 public:
  explicit RuntimeDir(const std::optional<std::string>& value) : EnvVar("XDG_RUNTIME_DIR", value) {}
};

// Removes the lock folder made in /tmp when the test ends.
struct RemoveAtEnd {
  std::string folder;
  ~RemoveAtEnd() {
    std::error_code ignored;
    fs::remove_all(folder, ignored);
  }
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
// would make every start fail, and a /tmp place that other users could share.
TEST(InstanceLock, FallsBackToTmpWithTheUserId) {
  TempFolder folder;
  folder.Write("not-a-folder", "");
  struct Case {
    const char* what;
    std::optional<std::string> runtimeDir;
  };
  const Case cases[] = {
      {"unset", std::nullopt},
      {"empty", ""},
      {"a file", (folder / "not-a-folder").string()},
      {"missing", (folder / "missing").string()},
  };
  for (const Case& c : cases) {
    const RuntimeDir env(c.runtimeDir);
    const std::string name = UniqueName("tmp");
    const RemoveAtEnd cleanup{TmpLockFolder(name)};
    const InstanceLock lock(name);
    EXPECT_EQ(lock.state(), InstanceLock::State::Acquired) << c.what << ": " << lock.error();
    EXPECT_EQ(lock.file(), TmpLockFile(name)) << c.what;
    EXPECT_TRUE(fs::is_regular_file(TmpLockFile(name))) << c.what;
    EXPECT_EQ(fs::status(TmpLockFolder(name)).permissions() & fs::perms::all, fs::perms::owner_all)
        << c.what;
  }
  EXPECT_FALSE(fs::exists(folder / "missing"));
}

// Catches a lock folder taken through a link planted in /tmp, which lets
// another user make the player create or lock a file of their choosing; the
// home folder is used instead.
TEST(InstanceLock, RefusesALinkPlantedInTmp) {
  const RuntimeDir env(std::nullopt);
  TempFolder home;
  const EnvVar homeEnv("HOME", home.path().string());
  TempFolder folder;
  const std::string name = UniqueName("link");
  const RemoveAtEnd cleanup{TmpLockFolder(name)};
  fs::create_symlink(folder.path(), TmpLockFolder(name));

  const InstanceLock lock(name);
  EXPECT_EQ(lock.state(), InstanceLock::State::Acquired) << lock.error();
  EXPECT_EQ(lock.file(), (home / ("." + name + ".lock")).string());
  EXPECT_TRUE(fs::is_empty(folder.path()));
  EXPECT_TRUE(fs::is_symlink(TmpLockFolder(name)));
}

// Catches the guard switched off by another local user: whatever they plant at
// the /tmp place first (file, link, FIFO, folder), the lock goes to this user's
// home and still refuses a second holder; with no home of this user's either,
// the lock is unavailable, never silently taken in a shared place.
TEST(InstanceLock, AnotherUsersPlantDoesNotSwitchTheGuardOff) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to act as a second user (setpriv --reuid)";
  const RuntimeDir env(std::nullopt);
  const char* plants[] = {"touch", "ln -s /tmp/tunewell-test-victim", "mkfifo", "mkdir -m 0700",
                          "mkdir -m 0777"};
  for (const char* plant : plants) {
    SCOPED_TRACE(plant);
    const std::string name = UniqueName("planted");
    const RemoveAtEnd cleanup{TmpLockFolder(name)};
    const std::string command = "setpriv --reuid=65534 --regid=65534 --clear-groups " +
                                std::string(plant) + " " + TmpLockFolder(name);
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
    struct stat planted;
    ASSERT_EQ(lstat(TmpLockFolder(name).c_str(), &planted), 0);
    ASSERT_EQ(planted.st_uid, 65534u);
    {
      TempFolder home;
      const EnvVar homeEnv("HOME", home.path().string());
      const InstanceLock first(name);
      ASSERT_EQ(first.state(), InstanceLock::State::Acquired) << first.error();
      EXPECT_EQ(first.file(), (home / ("." + name + ".lock")).string());
      const InstanceLock second(name);
      EXPECT_EQ(second.state(), InstanceLock::State::HeldElsewhere) << second.error();
    }
    const EnvVar homeEnv("HOME", "/nonexistent/home");
    const InstanceLock none(name);
    EXPECT_EQ(none.state(), InstanceLock::State::Unavailable);
    EXPECT_FALSE(none.error().empty());
  }
  EXPECT_FALSE(fs::exists("/tmp/tunewell-test-victim"));
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
