// The player's media controls (MPRIS) as the desktop uses them: Debian's
// playerctl and dbus-send on a private session bus the test starts, against a
// copy of the player that plays loopback stations on the silent output.
#include <gtest/gtest.h>

#include <QDBusConnection>
#include <QDBusMessage>
#include <csignal>
#include <filesystem>
#include <memory>
#include <thread>

#include "tests/support/child_process.h"
#include "tests/support/private_bus.h"
#include "tests/support/radio_server.h"
#include "tests/support/temp_folder.h"
#include "tests/support/test_audio.h"

namespace tw {
namespace {

using namespace std::chrono_literals;
using test::ChildProcess;
using test::PrivateBus;
using test::TempFolder;
namespace fs = std::filesystem;

// A copy of the test build of the player in a folder of its own.
class Player {
 public:
  Player(const PrivateBus& bus, const std::string& stations, const std::string& settings,
         const char* exe = TW_PROBE_EXE) {
    fs::copy_file(exe, folder_ / "tunewell");
    fs::create_directory(locks_ / "run");
    fs::permissions(locks_ / "run", fs::perms::owner_all, fs::perm_options::replace);
    folder_.Write("favorites.cfg", stations);
    folder_.Write("radio_config.cfg", settings);
    env_ = {bus.env(), "XDG_RUNTIME_DIR=" + (locks_ / "run").string(), "QT_QPA_PLATFORM=offscreen",
            "SDL_AUDIODRIVER=dummy"};
  }
  std::unique_ptr<ChildProcess> Start() const {
    return std::make_unique<ChildProcess>((folder_ / "tunewell").string(), env_);
  }
  const TempFolder& files() const { return folder_; }

 private:
  TempFolder folder_;
  TempFolder locks_;
  std::vector<std::string> env_;
};

// What a command prints (also on standard error), without its last line end.
std::string RunCommand(const PrivateBus& bus, const std::string& exe,
                       const std::vector<std::string>& args) {
  // Through the shell, so that error replies (on standard error) are read too.
  std::vector<std::string> words{"-c", "exec \"$0\" \"$@\" 2>&1", exe};
  words.insert(words.end(), args.begin(), args.end());
  ChildProcess command("/bin/sh", words, {bus.env()});
  command.Wait(30s);
  command.WaitForOutput("\0", 0ms);  // collects what is left
  std::string out = command.output();
  while (!out.empty() && out.back() == '\n') out.pop_back();
  return out;
}

std::string Playerctl(const PrivateBus& bus, const std::vector<std::string>& args) {
  std::vector<std::string> all{"-p", "tunewell"};
  all.insert(all.end(), args.begin(), args.end());
  return RunCommand(bus, "/usr/bin/playerctl", all);
}

// Polls until playerctl prints `expected` for `args`: the player and the bus are
// asynchronous, and the machine may be slow.
bool PlayerctlShows(const PrivateBus& bus, const std::vector<std::string>& args,
                    const std::string& expected, std::chrono::seconds timeout = 60s) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    if (Playerctl(bus, args) == expected) return true;
    std::this_thread::sleep_for(100ms);
  }
  return false;
}

std::string DbusSend(const PrivateBus& bus, const std::vector<std::string>& args) {
  std::vector<std::string> all{"--session", "--print-reply",
                               "--dest=org.mpris.MediaPlayer2.tunewell", "/org/mpris/MediaPlayer2"};
  all.insert(all.end(), args.begin(), args.end());
  return RunCommand(bus, "/usr/bin/dbus-send", all);
}

test::RadioServer::Route Station(const char* name, const char* first, const char* second) {
  test::RadioServer::Route route;
  route.statusLine = "ICY 200 OK";
  route.headers = {"Content-Type: audio/mpeg", std::string("icy-name:") + name, "icy-br:128"};
  test::ToneSpec tone;
  tone.seconds = 4;
  route.body = test::EncodeTone(test::AudioFormat::kMp3, tone);
  route.metaint = 4096;
  // The second title comes about two seconds in, at the real-time pace below.
  route.titles = {{0, std::string("StreamTitle='") + first + "';"},
                  {64000, std::string("StreamTitle='") + second + "';"}};
  route.loopBody = true;
  route.bytesPerSecond = 16000;
  route.burstBytes = 32000;
  return route;
}

std::string TwoStations(const test::RadioServer& server) {
  return "[001]\r\nPath=" + server.Url("/one") + "\r\nTitle=One\r\nAudioNum=1\r\n" +
         "[002]\r\nPath=" + server.Url("/two") + "\r\nTitle=Two\r\nAudioNum=1\r\n";
}

// "No sound" is the engine's last device: with SDL's dummy driver, device 2.
constexpr const char* kFirstRowSilent = "[MAIN]\r\nLAST=0\r\nDevice=2\r\nVOLUME=48\r\n";

// Catches media keys and the sound menu not reaching the player: titles that do
// not follow the station, a play-pause that does not toggle, a Next that does
// not play the next station, a volume that does not move the bar, a Quit that
// does not save.
TEST(Mpris, PlayerctlControlsThePlayer) {
  PrivateBus bus;
  ASSERT_TRUE(bus.up());
  test::RadioServer server;
  server.Serve("/one", Station("Station One", "One - First", "One - Second"));
  server.Serve("/two", Station("Station Two", "Two - First", "Two - Second"));
  Player program(bus, TwoStations(server), kFirstRowSilent);
  auto player = program.Start();
  ASSERT_TRUE(player->WaitForOutput("RUNNING", 60s)) << player->output();

  ASSERT_TRUE(PlayerctlShows(bus, {"status"}, "Stopped")) << player->output();
  EXPECT_EQ(Playerctl(bus, {"metadata", "mpris:trackid"}),
            "'/org/mpris/MediaPlayer2/TrackList/NoTrack'");
  Playerctl(bus, {"play"});
  EXPECT_TRUE(PlayerctlShows(bus, {"status"}, "Playing"));
  EXPECT_TRUE(PlayerctlShows(bus, {"metadata", "title"}, "One - First")) << player->output();
  EXPECT_TRUE(PlayerctlShows(bus, {"metadata", "artist"}, "Station One"));
  EXPECT_TRUE(PlayerctlShows(bus, {"metadata", "title"}, "One - Second")) << player->output();

  Playerctl(bus, {"play-pause"});
  EXPECT_TRUE(PlayerctlShows(bus, {"status"}, "Stopped"));
  EXPECT_TRUE(player->WaitForOutput("Label3=[]", 10s));
  Playerctl(bus, {"play-pause"});
  EXPECT_TRUE(PlayerctlShows(bus, {"status"}, "Playing"));
  EXPECT_TRUE(PlayerctlShows(bus, {"metadata", "artist"}, "Station One"));

  Playerctl(bus, {"next"});
  EXPECT_TRUE(PlayerctlShows(bus, {"metadata", "artist"}, "Station Two")) << player->output();
  EXPECT_TRUE(PlayerctlShows(bus, {"metadata", "title"}, "Two - First")) << player->output();
  EXPECT_TRUE(server.WaitForRequests("/two", 1, 10s));
  // The last station: nothing further, and the list says so.
  EXPECT_TRUE(PlayerctlShows(bus, {"metadata", "artist"}, "Station Two"));
  EXPECT_EQ(DbusSend(bus, {"org.freedesktop.DBus.Properties.Get",
                           "string:org.mpris.MediaPlayer2.Player", "string:CanGoNext"})
                    .find("boolean false") != std::string::npos,
            true);
  Playerctl(bus, {"previous"});
  EXPECT_TRUE(PlayerctlShows(bus, {"metadata", "artist"}, "Station One")) << player->output();

  Playerctl(bus, {"volume", "0.3"});
  EXPECT_TRUE(PlayerctlShows(bus, {"volume"}, "0.300000"));

  Playerctl(bus, {"stop"});
  EXPECT_TRUE(PlayerctlShows(bus, {"status"}, "Stopped"));

  // A Stop while the station still connects stops it once it has connected.
  const int before = server.Requests("/one");
  auto slow = Station("Station One", "One - First", "One - Second");
  slow.delayMs = 1500;
  server.Serve("/one", slow);
  Playerctl(bus, {"play"});
  ASSERT_TRUE(server.WaitForRequests("/one", before + 1, 30s));
  EXPECT_EQ(Playerctl(bus, {"status"}), "Playing");  // the server has not answered yet
  Playerctl(bus, {"stop"});
  EXPECT_TRUE(PlayerctlShows(bus, {"status"}, "Stopped"));
  bool closed = false;
  for (int i = 0; i < 300 && !closed; ++i) {
    std::this_thread::sleep_for(100ms);
    closed = server.Requests("/one") == before + 1 && server.LiveConnections("/one") == 0;
  }
  EXPECT_TRUE(closed) << "the stream of the stopped connect still plays";
  EXPECT_EQ(Playerctl(bus, {"status"}), "Stopped");
  Playerctl(bus, {"--player=tunewell", "metadata"});  // harmless while stopped
  RunCommand(bus, "/usr/bin/dbus-send",
             {"--session", "--print-reply", "--dest=org.mpris.MediaPlayer2.tunewell",
              "/org/mpris/MediaPlayer2", "org.mpris.MediaPlayer2.Quit"});
  EXPECT_EQ(player->Wait(60s), 0);
  EXPECT_EQ(player->output().find("BOX"), std::string::npos) << player->output();
  // The bar was at 30 when the window closed: "&Close" saves what it shows.
  EXPECT_NE(program.files().Read("radio_config.cfg").find("VOLUME=30\r\n"), std::string::npos)
      << program.files().Read("radio_config.cfg");
}

// Catches a client that can crash, hang or flood the player: wrong argument
// types, volumes that are no volume, a burst of play-pause, and the bus going
// away under a playing stream.
TEST(Mpris, BadInputAndAVanishingBus) {
  PrivateBus bus;
  ASSERT_TRUE(bus.up());
  test::RadioServer server;
  server.Serve("/one", Station("Station One", "One - First", "One - Second"));
  server.Serve("/two", Station("Station Two", "Two - First", "Two - Second"));
  Player program(bus, TwoStations(server), kFirstRowSilent);
  auto player = program.Start();
  ASSERT_TRUE(player->WaitForOutput("RUNNING", 60s)) << player->output();
  ASSERT_TRUE(PlayerctlShows(bus, {"status"}, "Stopped"));

  const std::string volume = "string:org.mpris.MediaPlayer2.Player";
  struct {
    std::vector<std::string> args;
    const char* error;  // in the reply; null: no error, then the volume shown
    const char* volumeAfter;
  } cases[] = {
      {{"org.freedesktop.DBus.Properties.Set", volume, "string:Volume", "variant:double:nan"},
       "org.freedesktop.DBus.Error.InvalidArgs",
       "0.480000"},
      {{"org.freedesktop.DBus.Properties.Set", volume, "string:Volume", "variant:string:loud"},
       "org.freedesktop.DBus.Error.InvalidArgs",
       "0.480000"},
      {{"org.freedesktop.DBus.Properties.Set", volume, "string:Volume", "variant:double:-5"},
       nullptr,
       "0.000000"},
      {{"org.freedesktop.DBus.Properties.Set", volume, "string:Volume", "variant:double:1e30"},
       nullptr,
       "1.000000"},
      {{"org.freedesktop.DBus.Properties.Set", volume, "string:Rate", "variant:double:2"},
       "org.freedesktop.DBus.Error.PropertyReadOnly",
       "1.000000"},
      {{"org.mpris.MediaPlayer2.Player.Next", "int32:4"},
       "org.freedesktop.DBus.Error.InvalidArgs",
       "1.000000"},
      {{"org.mpris.MediaPlayer2.Player.Seek", "string:far"},
       "org.freedesktop.DBus.Error.InvalidArgs",
       "1.000000"},
      {{"org.mpris.MediaPlayer2.Player.Eject"},
       "org.freedesktop.DBus.Error.UnknownMethod",
       "1.000000"},
      {{"org.freedesktop.DBus.Properties.Get", "string:org.example.None", "string:Volume"},
       "org.freedesktop.DBus.Error.UnknownProperty",
       "1.000000"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args[0] + " " + c.args.back());
    const std::string reply = DbusSend(bus, c.args);
    if (c.error) {
      EXPECT_NE(reply.find(c.error), std::string::npos) << reply;
    } else {
      EXPECT_EQ(reply.find("Error"), std::string::npos) << reply;
    }
    EXPECT_TRUE(PlayerctlShows(bus, {"volume"}, c.volumeAfter, 30s));
  }

  // Hundreds of play-pause calls while the changes are watched: the player
  // keeps up and announces its changes a few times a second at most.
  ChildProcess monitor("/usr/bin/dbus-monitor",
                       {"--session", "type='signal',member='PropertiesChanged'"}, {bus.env()});
  ASSERT_TRUE(monitor.WaitForOutput("NameAcquired", 30s)) << monitor.output();
  const auto start = std::chrono::steady_clock::now();
  {
    QDBusConnection client =
        QDBusConnection::connectToBus(QString::fromStdString(bus.address()), "burst");
    ASSERT_TRUE(client.isConnected());
    for (int i = 0; i < 301; ++i) {
      QDBusMessage call = QDBusMessage::createMethodCall(
          "org.mpris.MediaPlayer2.tunewell", "/org/mpris/MediaPlayer2",
          "org.mpris.MediaPlayer2.Player", "PlayPause");
      client.send(call);
    }
    // Answered after all of them: the player has kept up.
    QDBusMessage ping =
        QDBusMessage::createMethodCall("org.mpris.MediaPlayer2.tunewell", "/org/mpris/MediaPlayer2",
                                       "org.freedesktop.DBus.Properties", "Get");
    ping << QString("org.mpris.MediaPlayer2") << QString("Identity");
    const QDBusMessage answer = client.call(ping, QDBus::Block, 60000);
    EXPECT_EQ(answer.type(), QDBusMessage::ReplyMessage) << answer.errorMessage().toStdString();
  }
  QDBusConnection::disconnectFromBus("burst");
  // An odd number of toggles: playing.
  EXPECT_TRUE(PlayerctlShows(bus, {"status"}, "Playing"));
  std::this_thread::sleep_for(1s);
  EXPECT_TRUE(player->Running());
  monitor.WaitForOutput("never", 500ms);
  // The whole time watched, plus the monitor's own start.
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() + 1;
  std::size_t announced = 0;
  for (std::size_t at = 0;
       (at = monitor.output().find("member=PropertiesChanged", at)) != std::string::npos; ++at) {
    ++announced;
  }
  EXPECT_GT(announced, 0u) << monitor.output() << player->output();
  EXPECT_LE(static_cast<double>(announced), 4 * seconds + 2) << seconds << " s";

  Playerctl(bus, {"play"});  // already playing: nothing changes
  EXPECT_TRUE(PlayerctlShows(bus, {"metadata", "title"}, "One - First")) << player->output();
  bus.Stop();
  std::this_thread::sleep_for(1s);
  EXPECT_TRUE(player->Running());
  player->Signal(SIGTERM);
  EXPECT_EQ(player->Wait(60s), 0);
}

// Catches a remote command carried out behind a box that waits for the user
// (the window's buttons are out of reach then), and a bus call that waits for
// the worker the box holds up. The shipped executable, whose boxes really wait.
TEST(Mpris, BusyWhileABoxWaits) {
  PrivateBus bus;
  ASSERT_TRUE(bus.up());
  // Nothing listens on port 9: "Can't play the stream" comes up and waits.
  Player program(bus, "[001]\r\nPath=http://127.0.0.1:9/a\r\nTitle=A\r\nAudioNum=1\r\n",
                 kFirstRowSilent, TW_TUNEWELL_EXE);
  auto player = program.Start();
  ASSERT_TRUE(PlayerctlShows(bus, {"status"}, "Stopped"));
  Playerctl(bus, {"play"});
  const auto deadline = std::chrono::steady_clock::now() + 60s;
  std::string reply;
  while (std::chrono::steady_clock::now() < deadline &&
         reply.find("Error.Busy") == std::string::npos) {
    std::this_thread::sleep_for(100ms);
    reply = DbusSend(bus, {"org.mpris.MediaPlayer2.Player.PlayPause"});
  }
  EXPECT_NE(reply.find("org.mpris.MediaPlayer2.tunewell.Error.Busy"), std::string::npos) << reply;
  // What a box does not forbid still works: the volume, a look, raising.
  Playerctl(bus, {"volume", "0.25"});
  EXPECT_TRUE(PlayerctlShows(bus, {"volume"}, "0.250000"));
  EXPECT_EQ(DbusSend(bus, {"org.mpris.MediaPlayer2.Raise"}).find("Error"), std::string::npos);
  EXPECT_EQ(Playerctl(bus, {"status"}), "Stopped");
  player->Signal(SIGTERM);
  EXPECT_EQ(player->Wait(60s), 0);
  EXPECT_NE(program.files().Read("radio_config.cfg").find("VOLUME=25\r\n"), std::string::npos)
      << program.files().Read("radio_config.cfg");
}

// Catches a click on the launcher lost on a window hidden in the tray: the
// second start is refused as ever and asks the first, over its bus, to raise.
TEST(Mpris, SecondStartAsksTheFirstToRaise) {
  PrivateBus bus;
  ASSERT_TRUE(bus.up());
  Player program(bus, "[001]\r\nPath=http://127.0.0.1:9/a\r\nTitle=A\r\nAudioNum=1\r\n",
                 kFirstRowSilent);
  auto first = program.Start();
  ASSERT_TRUE(first->WaitForOutput("RUNNING", 60s)) << first->output();
  ASSERT_TRUE(PlayerctlShows(bus, {"status"}, "Stopped"));
  ChildProcess monitor("/usr/bin/dbus-monitor", {"--session", "type='method_call',member='Raise'"},
                       {bus.env()});
  ASSERT_TRUE(monitor.WaitForOutput("NameAcquired", 30s)) << monitor.output();

  auto second = program.Start();
  EXPECT_EQ(second->Wait(60s), 0);
  EXPECT_EQ(second->output(),
            "BOX icon=warning owner=none title=[] text=[Sorry this program is currently "
            "running]\n");
  EXPECT_TRUE(monitor.WaitForOutput("interface=org.mpris.MediaPlayer2; member=Raise", 30s))
      << monitor.output();
  EXPECT_TRUE(first->Running());
  first->Signal(SIGTERM);
  EXPECT_EQ(first->Wait(60s), 0);
}

}  // namespace
}  // namespace tw
