// The player as a process: single instance, start-up failures and shutdown, run
// from a copy of the executable in a temporary program folder.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <thread>

#include "tests/support/child_process.h"
#include "tests/support/radio_server.h"
#include "tests/support/temp_folder.h"
#include "tests/support/test_audio.h"

namespace tw {
namespace {

using namespace std::chrono_literals;
using test::ChildProcess;
using test::TempFolder;
namespace fs = std::filesystem;

constexpr const char* kStations =
    "[001]\r\nPath=http://127.0.0.1:9/a\r\nTitle=Alpha\r\nAudioNum=1\r\n"
    "[002]\r\nPath=http://127.0.0.1:9/b\r\nTitle=Beta\r\nAudioNum=1\r\n";
constexpr const char* kSettings = "[MAIN]\r\nVOLUME=61\r\nLAST=0\r\nDevice=0\r\n";

// Whether process pid holds a flock on file, by /proc/locks ("... FLOCK ... pid
// major:minor:inode ...").
bool HoldsFlock(pid_t pid, const fs::path& file) {
  struct stat info {};
  if (stat(file.c_str(), &info) != 0) return false;
  std::ifstream locks("/proc/locks");
  std::string line;
  const std::string inode = ":" + std::to_string(info.st_ino) + " ";
  const std::string owner = " " + std::to_string(pid) + " ";
  while (std::getline(locks, line)) {
    if (line.find("FLOCK") != std::string::npos && line.find(owner) != std::string::npos &&
        line.find(inode) != std::string::npos) {
      return true;
    }
  }
  return false;
}

// Whether the process has its own handler for the signal (SigCgt in its status):
// before that, the signal would kill it.
bool Catches(pid_t pid, int signal) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("SigCgt:", 0) != 0) continue;
    const unsigned long long mask = std::stoull(line.substr(7), nullptr, 16);
    return (mask >> (signal - 1)) & 1;
  }
  return false;
}

bool WaitUntilCatching(ChildProcess& player, int signal) {
  for (int i = 0; i < 600 && player.Running(); ++i) {
    if (Catches(player.pid(), signal)) return true;
    std::this_thread::sleep_for(100ms);
  }
  return false;
}

// A program folder holding a copy of one build of the player, and a lock folder
// of its own so tests never meet a player the user is running.
class ProgramFolder {
 public:
  explicit ProgramFolder(const char* exe = TW_PROBE_EXE) {
    executable_ = folder_ / "tunewell";
    fs::copy_file(exe, executable_);
    fs::create_directory(locks_ / "run");
    fs::permissions(locks_ / "run", fs::perms::owner_all, fs::perm_options::replace);
  }
  const TempFolder& files() const { return folder_; }
  std::unique_ptr<ChildProcess> Start() const { return StartIn(locks_.path() / "run"); }
  std::unique_ptr<ChildProcess> StartIn(const fs::path& lockFolder) const {
    return StartWith({"XDG_RUNTIME_DIR=" + lockFolder.string()});
  }
  // With these environment changes after the usual ones (later ones win).
  std::unique_ptr<ChildProcess> StartWith(const std::vector<std::string>& changes) const {
    // No desktop of the user's: its session bus and displays stay out of reach.
    std::vector<std::string> env{"QT_QPA_PLATFORM=offscreen", "SDL_AUDIODRIVER=dummy",
                                 "DBUS_SESSION_BUS_ADDRESS", "DISPLAY", "WAYLAND_DISPLAY"};
    env.insert(env.end(), changes.begin(), changes.end());
    return std::make_unique<ChildProcess>(executable_.string(), env);
  }
  fs::path lockFolder() const { return locks_.path() / "run"; }

  // Waits until player holds the instance lock, seen in the kernel's lock table
  // so the test never competes for the lock itself. False if it never does.
  bool WaitUntilLocked(ChildProcess& player) const {
    for (int i = 0; i < 600 && player.Running(); ++i) {
      if (HoldsFlock(player.pid(), lockFolder() / "SimpleTunewellVarnholt.lock")) return true;
      std::this_thread::sleep_for(100ms);
    }
    return false;
  }

 private:
  TempFolder folder_;
  TempFolder locks_;
  fs::path executable_;
};

// Start-up runs to the message loop without a box; a termination request closes
// the window normally and the settings are written.
TEST(PlayerProcess, StartsAndSavesSettingsOnClose) {
  ProgramFolder program;
  program.files().Write("favorites.cfg", kStations);
  auto player = program.Start();
  ASSERT_TRUE(player->WaitForOutput("RUNNING", 60s)) << player->output();
  player->Signal(SIGTERM);
  EXPECT_EQ(player->Wait(30s), 0);
  EXPECT_EQ(player->output().find("BOX"), std::string::npos) << player->output();
  EXPECT_EQ(program.files().Read("radio_config.cfg"),
            "[MAIN]\r\nVOLUME=48\r\nLAST=1\r\nDevice=0\r\nStartTray=0\r\nPlaylast=0\r\n"
            "NoHint=0\r\n");
}

// A second start is refused while the first runs, leaves the first alone, and a
// start after the first was killed works.
TEST(PlayerProcess, SingleInstance) {
  ProgramFolder program;
  program.files().Write("favorites.cfg", kStations);
  auto first = program.Start();
  ASSERT_TRUE(first->WaitForOutput("RUNNING", 60s)) << first->output();

  auto second = program.Start();
  EXPECT_EQ(second->Wait(60s), 0);
  EXPECT_EQ(second->output(),
            "BOX icon=warning owner=none title=[] text=[Sorry this program is currently "
            "running]\n");
  EXPECT_TRUE(first->Running());

  // Another user's (another lock folder's) player does not count.
  auto elsewhere = program.StartIn(program.files().path());
  EXPECT_TRUE(elsewhere->WaitForOutput("RUNNING", 60s)) << elsewhere->output();
  elsewhere->Signal(SIGKILL);
  elsewhere->Wait(30s);

  first->Signal(SIGKILL);
  EXPECT_EQ(first->Wait(30s), 128 + SIGKILL);
  auto third = program.Start();
  ASSERT_TRUE(third->WaitForOutput("RUNNING", 60s)) << third->output();
  third->Signal(SIGTERM);
  EXPECT_EQ(third->Wait(30s), 0);
}

// Another local user who plants the /tmp place of the lock first (no
// XDG_RUNTIME_DIR) does not get a second copy started: the lock moves to the
// home folder and still refuses the second start; with no home folder either,
// the player says it cannot guard itself and does not start.
TEST(PlayerProcess, SingleInstanceWithoutRuntimeDirSurvivesAPlantedLock) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to act as a second user (setpriv --reuid)";
  const std::string planted = "/tmp/SimpleTunewellVarnholt-" + std::to_string(geteuid());
  if (fs::exists(fs::symlink_status(planted))) GTEST_SKIP() << planted << " is in use";
  const std::string command = "setpriv --reuid=65534 --regid=65534 --clear-groups mkdir " + planted;
  ASSERT_EQ(std::system(command.c_str()), 0);
  struct RemoveAtEnd {
    std::string path;
    ~RemoveAtEnd() { fs::remove_all(path); }
  } cleanup{planted};

  ProgramFolder program;
  program.files().Write("favorites.cfg", kStations);
  TempFolder home;
  auto first = program.StartWith({"XDG_RUNTIME_DIR", "HOME=" + home.path().string()});
  ASSERT_TRUE(first->WaitForOutput("RUNNING", 60s)) << first->output();
  auto second = program.StartWith({"XDG_RUNTIME_DIR", "HOME=" + home.path().string()});
  EXPECT_EQ(second->Wait(60s), 0);
  EXPECT_EQ(second->output(),
            "BOX icon=warning owner=none title=[] text=[Sorry this program is currently "
            "running]\n");
  auto homeless = program.StartWith({"XDG_RUNTIME_DIR", "HOME=/nonexistent/home"});
  EXPECT_EQ(homeless->Wait(60s), 0);
  EXPECT_EQ(homeless->output().rfind("BOX icon=warning owner=none title=[] text=[Tunewell "
                                     "cannot make sure that it runs only once",
                                     0),
            0u)
      << homeless->output();
  EXPECT_EQ(homeless->output().find("RUNNING"), std::string::npos);
  EXPECT_TRUE(first->Running());
  first->Signal(SIGTERM);
  EXPECT_EQ(first->Wait(30s), 0);
  EXPECT_TRUE(fs::is_empty(planted));
}

// Each fatal start-up failure shows its box, ends with its exit code before the
// message loop, and leaves the settings file as it was.
TEST(PlayerProcess, FatalStartupFailures) {
  struct Case {
    const char* what;
    const char* exe;
    const char* stations;  // null: no favorites.cfg
    const char* radioTxt;  // null: no radio.txt
    const char* settings;
    const char* box;
    int exitCode;
  } cases[] = {
      {"no station file", TW_PROBE_EXE, nullptr, nullptr, kSettings,
       "BOX icon=none owner=window title=[] text=[favorites.cfg does not exist.]\n", 1},
      {"malformed radio.txt", TW_PROBE_EXE, nullptr, "Good;http://g/\r\nbad line\r\n", kSettings,
       "BOX icon=none owner=window title=[] text=[Error, check your radio.txt and the "
       "format:\\r\\nRadioname;URL]\n",
       0},
      {"device that does not exist", TW_PROBE_EXE, kStations, nullptr,
       "[MAIN]\r\nDevice=99\r\nVOLUME=5\r\n",
       "BOX icon=none owner=window title=[] text=[Can't initialize device\\r\\n(error code: "
       "8)]\n",
       0},
      {"wrong engine version", TW_PROBE_BASS23_EXE, kStations, nullptr, kSettings,
       "BOX icon=error owner=none title=[] text=[An incorrect version of BASS.DLL was "
       "loaded]\n",
       0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ProgramFolder program(c.exe);
    if (c.stations) program.files().Write("favorites.cfg", c.stations);
    if (c.radioTxt) program.files().Write("radio.txt", c.radioTxt);
    program.files().Write("radio_config.cfg", c.settings);
    auto player = program.Start();
    EXPECT_EQ(player->Wait(60s), c.exitCode);
    EXPECT_EQ(player->output(), c.box);
    EXPECT_EQ(program.files().Read("radio_config.cfg"), c.settings);
  }
}

// A box that waits for the user during start-up (a fatal one; a second start's
// refusal) does not keep a request to end from ending the program: the box
// closes and the program ends as after OK, still without touching the settings.
// The shipped executable, whose boxes really wait.
TEST(PlayerProcess, TerminateClosesAWaitingStartupBox) {
  ProgramFolder shipped(TW_TUNEWELL_EXE);
  shipped.files().Write("favorites.cfg", kStations);
  const std::string settings = "[MAIN]\r\nDevice=99\r\nVOLUME=5\r\n";
  shipped.files().Write("radio_config.cfg", settings);
  auto player = shipped.Start();
  ASSERT_TRUE(shipped.WaitUntilLocked(*player));
  std::this_thread::sleep_for(1s);  // "Can't initialize device" is up by now
  ASSERT_TRUE(player->Running()) << "the box did not wait";
  player->Signal(SIGTERM);
  EXPECT_EQ(player->Wait(30s), 0);
  EXPECT_EQ(shipped.files().Read("radio_config.cfg"), settings);

  ProgramFolder probe;
  probe.files().Write("favorites.cfg", kStations);
  auto first = probe.Start();
  ASSERT_TRUE(first->WaitForOutput("RUNNING", 60s)) << first->output();
  auto second = shipped.StartIn(probe.lockFolder());
  ASSERT_TRUE(WaitUntilCatching(*second, SIGTERM));
  std::this_thread::sleep_for(1s);  // "Sorry this program is currently running"
  ASSERT_TRUE(second->Running()) << "the box did not wait";
  second->Signal(SIGTERM);
  EXPECT_EQ(second->Wait(30s), 0);
  EXPECT_TRUE(first->Running());
  first->Signal(SIGTERM);
  EXPECT_EQ(first->Wait(30s), 0);
}

// A wrong effects library version is reported, start-up completes, and the
// program then closes normally, saving its settings.
TEST(PlayerProcess, WrongEffectsVersionQuitsAfterStartup) {
  ProgramFolder program(TW_PROBE_FX23_EXE);
  program.files().Write("favorites.cfg", kStations);
  program.files().Write("radio_config.cfg", kSettings);
  auto player = program.Start();
  EXPECT_EQ(player->Wait(60s), 0);
  EXPECT_EQ(player->output().substr(0, player->output().find('\n') + 1),
            "BOX icon=error owner=window title=[Incorrect BASS_FX.DLL] text=[An incorrect "
            "version of BASS_FX.DLL was loaded (2.4 is required)]\n");
  EXPECT_EQ(program.files().Read("radio_config.cfg"),
            "[MAIN]\r\nVOLUME=61\r\nLAST=0\r\nDevice=0\r\nStartTray=0\r\nPlaylast=0\r\n"
            "NoHint=0\r\n");
}

// With radio.txt and no station file the import creates favorites.cfg and the
// player starts; radio.txt becomes radio.old.
TEST(PlayerProcess, ImportsRadioTxtAtStart) {
  ProgramFolder program;
  program.files().Write("radio.txt", "One;http://1/\r\nTwo;http://2/\r\n");
  auto player = program.Start();
  ASSERT_TRUE(player->WaitForOutput("RUNNING", 60s)) << player->output();
  player->Signal(SIGTERM);
  EXPECT_EQ(player->Wait(30s), 0);
  EXPECT_TRUE(program.files().Exists("favorites.cfg"));
  EXPECT_TRUE(program.files().Exists("radio.old"));
  EXPECT_FALSE(program.files().Exists("radio.txt"));
}

// The shipped executable itself, with the default station list, starts (holding
// the instance lock) and closes normally.
TEST(PlayerProcess, ShippedExecutableWithDefaultStations) {
  ProgramFolder program(TW_TUNEWELL_EXE);
  fs::copy_file(TW_DEFAULT_FAVORITES, program.files() / "favorites.cfg");
  auto player = program.Start();
  ASSERT_TRUE(program.WaitUntilLocked(*player));
  // A request to end that arrives during start-up closes the window once it runs.
  player->Signal(SIGTERM);
  EXPECT_EQ(player->Wait(60s), 0);
  EXPECT_NE(program.files().Read("radio_config.cfg").find("VOLUME=48"), std::string::npos);
}

// The player as a user runs it: it starts, auto-plays the last station from the
// loopback server on the silent output, and shows the station and the song.
TEST(PlayerProcess, PlaysAStationEndToEnd) {
  test::RadioServer server;
  test::RadioServer::Route route;
  route.statusLine = "ICY 200 OK";
  route.headers = {"Content-Type: audio/mpeg", "icy-name:Loopback FM", "icy-br:128"};
  test::ToneSpec tone;
  tone.seconds = 4;
  route.body = test::EncodeTone(test::AudioFormat::kMp3, tone);
  route.metaint = 4096;
  route.titles = {{0, "StreamTitle='Bj\xC3\xB6rk - Jo\xC3\xB3ga';"}};
  route.loopBody = true;
  route.bytesPerSecond = 16000;
  route.burstBytes = 32000;
  server.Serve("/live", route);

  ProgramFolder program;
  program.files().Write("favorites.cfg", "[001]\r\nPath=" + server.Url("/live") +
                                             "\r\nTitle=Loopback\r\nAudioNum=1\r\n");
  // "No sound" is the engine's last device: with SDL's dummy driver, device 2.
  program.files().Write("radio_config.cfg", "[MAIN]\r\nPlayLast=1\r\nLAST=0\r\nDevice=2\r\n");
  auto player = program.Start();
  EXPECT_TRUE(player->WaitForOutput("Label3=[Bj\xC3\xB6rk - Jo\xC3\xB3ga]", 60s))
      << player->output();
  EXPECT_TRUE(player->WaitForOutput("Label4=[Loopback FM]", 10s)) << player->output();
  EXPECT_TRUE(player->WaitForOutput("Label5=[bitrate: 128]", 10s)) << player->output();
  player->Signal(SIGTERM);
  EXPECT_EQ(player->Wait(30s), 0);
  EXPECT_EQ(player->output().find("BOX"), std::string::npos) << player->output();
}

}  // namespace
}  // namespace tw
