// The player on a real desktop of its own: Xvfb with openbox, Debian's trayer as
// the tray host and dunst as the notification service on a private session bus.
// The icon docks, song titles become notifications, a minimise goes to the tray,
// the icon brings the window back, and start in the tray leaves only the icon.
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <memory>
#include <regex>
#include <sstream>

#include "tests/support/child_process.h"
#include "tests/support/desktop_session.h"
#include "tests/support/radio_server.h"
#include "tests/support/temp_folder.h"
#include "tests/support/test_audio.h"

namespace tw {
namespace {

using namespace std::chrono_literals;
using test::ChildProcess;
using test::DesktopSession;
using test::TempFolder;
using test::WaitUntil;
namespace fs = std::filesystem;

constexpr const char* kCaption = "Tunewell 0.6";

class TrayDesktopTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::copy_file(TW_PROBE_EXE, program / "tunewell");
    fs::create_directory(locks / "run");
    fs::permissions(locks / "run", fs::perms::owner_all, fs::perm_options::replace);
    desktop.StartWindowManager();
  }

  std::unique_ptr<ChildProcess> StartPlayer(const std::string& stations,
                                            const std::string& settings,
                                            const std::vector<std::string>& moreEnv = {}) {
    auto player = Launch(stations, settings, moreEnv);
    EXPECT_TRUE(player->WaitForOutput("RUNNING", 60s)) << player->output();
    return player;
  }
  // Starts the player without waiting for it (the shipped one prints nothing).
  std::unique_ptr<ChildProcess> Launch(const std::string& stations, const std::string& settings,
                                       const std::vector<std::string>& moreEnv = {}) {
    program.Write("favorites.cfg", stations);
    program.Write("radio_config.cfg", settings);
    std::vector<std::string> env = desktop.Environment();
    env.insert(env.end(), {"XDG_RUNTIME_DIR=" + (locks / "run").string(), "SDL_AUDIODRIVER=dummy",
                           "TW_TEST_TIMER1_MS=1500"});
    env.insert(env.end(), moreEnv.begin(), moreEnv.end());
    return std::make_unique<ChildProcess>((program / "tunewell").string(), env);
  }

  // X window ids of the lines of `xwininfo -root -tree` that match.
  std::vector<std::string> Windows(const std::string& pattern) const {
    std::vector<std::string> ids;
    const std::string tree = desktop.Run("/usr/bin/xwininfo", {"-root", "-tree"});
    const std::regex line("(0x[0-9a-f]+) " + pattern);
    for (std::sregex_iterator it(tree.begin(), tree.end(), line), end; it != end; ++it) {
      ids.push_back((*it)[1]);
    }
    return ids;
  }
  // The player's tray icon: a window of the player's inside trayer's panel.
  std::string DockedIcon() const {
    std::istringstream tree(desktop.Run("/usr/bin/xwininfo", {"-root", "-tree"}));
    const std::regex ours(R"(^\s*(0x[0-9a-f]+) "[^"]*": \("tunewell")");
    std::string line;
    std::size_t panelIndent = std::string::npos;
    while (std::getline(tree, line)) {
      const std::size_t indent = line.find_first_not_of(' ');
      if (line.find("(\"panel\" \"trayer\")") != std::string::npos) {
        panelIndent = indent;
        continue;
      }
      if (panelIndent == std::string::npos) continue;
      if (indent <= panelIndent) break;  // past the panel's windows
      std::smatch icon;
      if (std::regex_search(line, icon, ours)) return icon[1];
    }
    return {};
  }
  std::string MainWindow() const {
    auto ids = Windows("\"" + std::string(kCaption) + "[^\"]*\": \\(\"tunewell");
    return ids.empty() ? std::string() : ids[0];
  }
  bool Mapped(const std::string& window) const {
    return !window.empty() &&
           desktop.Run("/usr/bin/xwininfo", {"-id", window}).find("Map State: IsViewable") !=
               std::string::npos;
  }
  // Minimised by the window manager (a taskbar would show it).
  bool Iconic(const std::string& window) const {
    return desktop.Run("/usr/bin/xprop", {"-id", window, "WM_STATE"}).find("Iconic") !=
           std::string::npos;
  }
  // Listed by the window manager among its windows (what taskbars show).
  bool Managed(const std::string& window) const {
    const std::string list = desktop.Run("/usr/bin/xprop", {"-root", "_NET_CLIENT_LIST"});
    return std::regex_search(list, std::regex(window + "\\b"));
  }
  // dunst's closed notifications as (id, application, summary, body), newest first.
  std::vector<std::vector<std::string>> History() const {
    const std::string json = desktop.Run("/usr/bin/dunstctl", {"history"});
    std::vector<std::vector<std::string>> entries;
    const std::regex field(
        R"re("(appname|body|id|summary)" : \{\s*"type" : "[a-z]+",\s*"data" : ("(?:[^"\\]|\\.)*"|[0-9]+))re");
    std::vector<std::string> entry(4);
    int seen = 0;
    for (std::sregex_iterator it(json.begin(), json.end(), field), end; it != end; ++it) {
      const std::string name = (*it)[1];
      std::string value = (*it)[2];
      if (value.front() == '"') value = value.substr(1, value.size() - 2);
      const int at = name == "id" ? 0 : name == "appname" ? 1 : name == "summary" ? 2 : 3;
      entry[at] = value;
      if (++seen % 4 == 0) entries.push_back(entry);
    }
    return entries;
  }

  DesktopSession desktop;
  TempFolder program;
  TempFolder locks;
};

TEST_F(TrayDesktopTest, SongNotificationsMinimiseToTheTrayAndBack) {
  desktop.StartNotificationService();
  desktop.StartTrayHost();
  test::RadioServer server;
  test::RadioServer::Route route;
  route.statusLine = "ICY 200 OK";
  route.headers = {"Content-Type: audio/mpeg", "icy-name:Loopback FM", "icy-br:128"};
  test::ToneSpec tone;
  tone.seconds = 4;
  route.body = test::EncodeTone(test::AudioFormat::kMp3, tone);
  route.metaint = 4096;
  // The first title comes before Timer1's first tick and is not announced; the
  // next two are, one per tick, the second replacing the first.
  route.titles = {{0, "StreamTitle='Before the tick';"},
                  {64000, "StreamTitle='Tom & Jerry <Live>';"},
                  {160000, "StreamTitle='<b>Live</b> &amp; <i>Loud</i>';"}};
  route.loopBody = true;
  route.bytesPerSecond = 16000;
  route.burstBytes = 32000;
  server.Serve("/live", route);

  auto player = StartPlayer("[001]\r\nPath=" + server.Url("/live") + "\r\nTitle=Loopback\r\n",
                            "[MAIN]\r\nPlayLast=1\r\nLAST=0\r\nDevice=2\r\n");
  std::string icon;
  ASSERT_TRUE(WaitUntil([&] { return !(icon = DockedIcon()).empty(); }, 30s));
  const std::string window = MainWindow();
  ASSERT_TRUE(WaitUntil([&] { return Mapped(window); }, 30s));

  ASSERT_TRUE(player->WaitForOutput("Label3=[<b>Live</b> &amp; <i>Loud</i>]", 60s))
      << player->output();
  // Each balloon is taken off after 5 s, which puts it into dunst's history.
  std::vector<std::vector<std::string>> shown;
  ASSERT_TRUE(WaitUntil([&] { return (shown = History()).size() >= 2; }, 30s));
  ASSERT_EQ(shown.size(), 2u);
  EXPECT_EQ(shown[1][1], "Tunewell");
  EXPECT_EQ(shown[1][2], "Tunewell");
  // dunst reads markup: the title went escaped, so it shows as written.
  EXPECT_EQ(shown[1][3], "Tom &amp; Jerry &lt;Live&gt;");
  EXPECT_EQ(shown[0][3], "&lt;b&gt;Live&lt;/b&gt; &amp;amp; &lt;i&gt;Loud&lt;/i&gt;");
  EXPECT_EQ(shown[0][0], shown[1][0]);
  // The tooltip (Qt's own on this XEmbed host) shows the title as sent, markup
  // and entities as plain text.
  EXPECT_TRUE(player->WaitForOutput("TIP=[<b>Live</b> &amp; <i>Loud</i>]", 20s))
      << player->output();

  // A minimise from the window manager: only the icon is left.
  desktop.Run("/usr/bin/xdotool", {"windowminimize", window});
  ASSERT_TRUE(WaitUntil([&] { return !Mapped(window); }, 20s));
  // Hidden, not iconified: the window manager no longer lists it.
  EXPECT_TRUE(WaitUntil([&] { return !Managed(window); }, 20s));
  desktop.Run("/usr/bin/xdotool", {"mousemove", "--window", icon, "5", "5", "click", "1"});
  EXPECT_TRUE(WaitUntil([&] { return Mapped(window); }, 20s));

  player->Signal(SIGTERM);
  EXPECT_EQ(player->Wait(30s), 0);
  EXPECT_EQ(player->output().find("BOX"), std::string::npos) << player->output();
}

TEST_F(TrayDesktopTest, StartInTheTrayNeedsATrayHost) {
  const std::string stations = "[001]\r\nPath=http://127.0.0.1:9/a\r\nTitle=Alpha\r\n";
  const std::string settings = "[MAIN]\r\nStartTray=1\r\n";
  {
    SCOPED_TRACE("with a tray host only the icon shows");
    desktop.StartTrayHost();
    auto player = StartPlayer(stations, settings);
    ASSERT_TRUE(WaitUntil([&] { return !DockedIcon().empty(); }, 30s))
        << desktop.Run("/usr/bin/xwininfo", {"-root", "-tree"});
    // Long enough for a window to have been mapped.
    EXPECT_FALSE(WaitUntil([&] { return Mapped(MainWindow()); }, 2s));
    // The tray host goes away: the window comes back, nothing is left unreachable.
    desktop.StopTrayHost();
    EXPECT_TRUE(WaitUntil([&] { return Mapped(MainWindow()); }, 20s));
    player->Signal(SIGTERM);
    EXPECT_EQ(player->Wait(30s), 0);
  }
  {
    SCOPED_TRACE("without one the window shows and minimises as usual");
    auto player = StartPlayer(stations, settings);
    ASSERT_TRUE(WaitUntil([&] { return Mapped(MainWindow()); }, 30s));
    const std::string window = MainWindow();
    desktop.Run("/usr/bin/xdotool", {"windowminimize", window});
    EXPECT_TRUE(WaitUntil([&] { return Iconic(window); }, 20s));
    EXPECT_TRUE(Managed(window));
    // A tray host that comes later gets the icon.
    desktop.StartTrayHost();
    EXPECT_TRUE(WaitUntil([&] { return !DockedIcon().empty(); }, 30s));
    player->Signal(SIGTERM);
    EXPECT_EQ(player->Wait(30s), 0);
  }
}

// A desktop ends its session with SIGTERM, and the media controls' Quit takes the
// same path: the player must end as Close does (settings written, exit 0) also
// while its window sits in the tray, where closing a hidden window alone would
// leave the process running and the settings unwritten.
TEST_F(TrayDesktopTest, QuitsFromTheTrayAsCloseDoes) {
  desktop.StartTrayHost();
  const std::string stations = "[001]\r\nPath=http://127.0.0.1:9/a\r\nTitle=Alpha\r\n";
  enum class How { kSigterm, kSigtermTwice, kSigint, kMediaQuit };
  struct Case {
    const char* what;
    const char* startTray;
    bool minimiseFirst;
    How how;
    bool editorOpen = false;
  } cases[] = {
      {"started in the tray, SIGTERM", "1", false, How::kSigterm},
      {"minimised into the tray, SIGTERM twice", "0", true, How::kSigtermTwice},
      {"minimised into the tray, SIGINT", "0", true, How::kSigint},
      {"started in the tray, the media controls' Quit", "1", false, How::kMediaQuit},
      {"the editor open, minimised into the tray, SIGTERM", "0", true, How::kSigterm, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string settings =
        std::string("[MAIN]\r\nVOLUME=61\r\nLAST=0\r\nDevice=0\r\nStartTray=") + c.startTray +
        "\r\nPlaylast=0\r\n";
    auto player = StartPlayer(stations, settings);
    ASSERT_TRUE(WaitUntil([&] { return !DockedIcon().empty(); }, 30s));
    if (c.minimiseFirst) {
      ASSERT_TRUE(WaitUntil([&] { return Mapped(MainWindow()); }, 30s));
      const std::string window = MainWindow();
      if (c.editorOpen) {
        desktop.Run("/usr/bin/xdotool", {"windowactivate", "--sync", window});
        desktop.Run("/usr/bin/xdotool", {"key", "--window", window, "alt+e"});
        ASSERT_TRUE(WaitUntil([&] { return !Windows("\"Tunewell Editor").empty(); }, 20s));
      }
      desktop.Run("/usr/bin/xdotool", {"windowminimize", window});
      ASSERT_TRUE(WaitUntil([&] { return !Mapped(window); }, 20s));
    } else {
      EXPECT_FALSE(WaitUntil([&] { return Mapped(MainWindow()); }, 1s));
    }
    switch (c.how) {
      case How::kSigterm:
        player->Signal(SIGTERM);
        break;
      case How::kSigtermTwice:
        player->Signal(SIGTERM);
        player->Signal(SIGTERM);
        break;
      case How::kSigint:
        player->Signal(SIGINT);
        break;
      case How::kMediaQuit:
        // Debian's playerctl has no "quit": the call it would make.
        ASSERT_TRUE(WaitUntil(
            [&] {
              return desktop
                         .Run("/usr/bin/dbus-send",
                              {"--session", "--print-reply",
                               "--dest=org.mpris.MediaPlayer2.tunewell", "/org/mpris/MediaPlayer2",
                               "org.mpris.MediaPlayer2.Quit"})
                         .find("method return") != std::string::npos;
            },
            30s));
        break;
    }
    EXPECT_EQ(player->Wait(30s), 0);
    // Rewritten: NoHint was not there before. The editor closes as Cancel, and
    // the list it reloads then has no row selected.
    std::string saved = settings + "NoHint=0\r\n";
    if (c.editorOpen) saved.replace(saved.find("LAST=0"), 6, "LAST=-1");
    EXPECT_EQ(program.Read("radio_config.cfg"), saved);
    // The icon went with the player.
    EXPECT_TRUE(WaitUntil([&] { return DockedIcon().empty(); }, 10s));
  }
}

// SIGTERM while "Can't play the stream" waits for OK and the window is in the
// tray: the box closes, the player ends and the settings are written, no hang.
// The shipped executable, whose boxes really wait.
TEST_F(TrayDesktopTest, QuitsFromTheTrayWhileABoxWaits) {
  desktop.StartTrayHost();
  fs::remove(program / "tunewell");
  fs::copy_file(TW_TUNEWELL_EXE, program / "tunewell");
  auto player =
      Launch("[001]\r\nPath=http://127.0.0.1:9/a\r\nTitle=Alpha\r\n",
             "[MAIN]\r\nVOLUME=61\r\nLAST=0\r\nDevice=0\r\nStartTray=1\r\nPlaylast=1\r\n");
  ASSERT_TRUE(WaitUntil([&] { return !DockedIcon().empty(); }, 60s));
  // The box is the player's one window named "Tunewell".
  ASSERT_TRUE(WaitUntil(
      [&] {
        auto boxes = Windows("\"Tunewell\": \\(\"tunewell");
        return !boxes.empty() && Mapped(boxes[0]);
      },
      60s))
      << desktop.Run("/usr/bin/xwininfo", {"-root", "-tree"});
  EXPECT_FALSE(Mapped(MainWindow()));
  player->Signal(SIGTERM);
  EXPECT_EQ(player->Wait(30s), 0);
  EXPECT_EQ(program.Read("radio_config.cfg"),
            "[MAIN]\r\nVOLUME=61\r\nLAST=0\r\nDevice=0\r\nStartTray=1\r\nPlaylast=1\r\n"
            "NoHint=0\r\n");
}

// A station that names a new song every 3 s, from 2 s in, for a minute.
test::RadioServer::Route SongEveryThreeSeconds() {
  test::RadioServer::Route route;
  route.statusLine = "ICY 200 OK";
  route.headers = {"Content-Type: audio/mpeg", "icy-name:Loopback FM"};
  test::ToneSpec tone;
  tone.seconds = 4;
  route.body = test::EncodeTone(test::AudioFormat::kMp3, tone);
  route.metaint = 4096;
  for (int song = 1; song <= 20; ++song) {
    route.titles.push_back({static_cast<size_t>(song) * 48000 - 16000,
                            "StreamTitle='Song " + std::to_string(song) + "';"});
  }
  route.loopBody = true;
  route.bytesPerSecond = 16000;
  route.burstBytes = 32000;
  return route;
}

// Catches song notifications lost on a desktop without a tray (stock GNOME),
// notifications that stack once the user closed or clicked one, and a restarted
// notification service having another program's notification replaced by a song
// (an id only the old service gave).
TEST_F(TrayDesktopTest, SongNotificationsWithoutATrayHost) {
  desktop.StartNotificationService();
  test::RadioServer server;
  server.Serve("/live", SongEveryThreeSeconds());
  auto player = StartPlayer("[001]\r\nPath=" + server.Url("/live") + "\r\nTitle=Loopback\r\n",
                            "[MAIN]\r\nPlayLast=1\r\nLAST=0\r\nDevice=2\r\n");
  auto displayed = [&] {
    return std::atoi(desktop.Run("/usr/bin/dunstctl", {"count", "displayed"}).c_str());
  };
  ASSERT_TRUE(WaitUntil([&] { return displayed() == 1; }, 60s)) << player->output();
  desktop.Run("/usr/bin/dunstctl", {"close"});
  ASSERT_TRUE(WaitUntil([&] { return History().size() == 1; }, 10s));
  ASSERT_TRUE(WaitUntil([&] { return displayed() == 1; }, 20s));
  // The next songs replace it: never two at once.
  EXPECT_FALSE(WaitUntil([&] { return displayed() > 1; }, 4s));
  desktop.Run("/usr/bin/dunstctl", {"action"});
  ASSERT_TRUE(WaitUntil([&] { return History().size() == 2; }, 10s));
  ASSERT_TRUE(WaitUntil([&] { return displayed() == 1; }, 20s));
  EXPECT_FALSE(WaitUntil([&] { return displayed() > 1; }, 4s));

  // The service restarts; another program's notification comes first.
  desktop.StopNotificationService();
  desktop.StartNotificationService();
  const std::string other =
      desktop.Run("/usr/bin/gdbus", {"call", "--session", "--dest", "org.freedesktop.Notifications",
                                     "--object-path", "/org/freedesktop/Notifications", "--method",
                                     "org.freedesktop.Notifications.Notify", "Other", "0", "",
                                     "Other", "Stays", "[]", "{}", "0"});
  ASSERT_NE(other.find("uint32"), std::string::npos) << other;
  // The next song starts a notification of its own; the songs after replace it.
  EXPECT_TRUE(WaitUntil([&] { return displayed() == 2; }, 20s));
  EXPECT_FALSE(WaitUntil([&] { return displayed() != 2; }, 5s));
  EXPECT_TRUE(History().empty());

  player->Signal(SIGTERM);
  EXPECT_EQ(player->Wait(30s), 0);
  EXPECT_EQ(player->output().find("BOX"), std::string::npos) << player->output();
}

// Catches a crash or a box when no notification service runs: the title goes to
// Qt's own balloon at the icon.
TEST_F(TrayDesktopTest, QtBalloonWithoutANotificationService) {
  desktop.StartTrayHost();
  test::RadioServer server;
  server.Serve("/live", SongEveryThreeSeconds());
  auto player = StartPlayer("[001]\r\nPath=" + server.Url("/live") + "\r\nTitle=Loopback\r\n",
                            "[MAIN]\r\nPlayLast=1\r\nLAST=0\r\nDevice=2\r\n");
  ASSERT_TRUE(WaitUntil([&] { return !DockedIcon().empty(); }, 30s));
  ASSERT_TRUE(player->WaitForOutput("BALLOON=[Tunewell|Song ", 60s)) << player->output();
  ASSERT_TRUE(player->WaitForOutput("Label3=[Song 3]", 30s)) << player->output();
  EXPECT_TRUE(player->Running());
  player->Signal(SIGTERM);
  EXPECT_EQ(player->Wait(30s), 0);
  EXPECT_EQ(player->output().find("BOX"), std::string::npos) << player->output();
}

// Catches a window restored from the tray under the station editor, blocked by a
// dialog nobody sees: the editor must come in front, and active.
TEST_F(TrayDesktopTest, RestoreFromTheTrayBringsTheEditorToTheFront) {
  desktop.StartTrayHost();
  auto player =
      StartPlayer("[001]\r\nPath=http://127.0.0.1:9/a\r\nTitle=Alpha\r\n", "[MAIN]\r\nLAST=0\r\n");
  std::string icon;
  ASSERT_TRUE(WaitUntil([&] { return !(icon = DockedIcon()).empty(); }, 30s));
  const std::string window = MainWindow();
  ASSERT_TRUE(WaitUntil([&] { return Mapped(window); }, 30s));
  auto editors = [&] { return Windows("\"Tunewell Editor[^\"]*\": \\(\"tunewell"); };
  desktop.Run("/usr/bin/xdotool", {"windowactivate", "--sync", window});
  desktop.Run("/usr/bin/xdotool", {"key", "--window", window, "alt+e"});
  std::string editor;
  ASSERT_TRUE(WaitUntil(
      [&] {
        auto found = editors();
        return !found.empty() && Mapped(editor = found[0]);
      },
      20s))
      << desktop.Run("/usr/bin/xwininfo", {"-root", "-tree"});

  desktop.Run("/usr/bin/xdotool", {"windowminimize", window});
  ASSERT_TRUE(WaitUntil([&] { return !Mapped(window); }, 20s));
  desktop.Run("/usr/bin/xdotool", {"mousemove", "--window", icon, "5", "5", "click", "1"});
  ASSERT_TRUE(WaitUntil([&] { return Mapped(window); }, 20s));
  EXPECT_TRUE(Mapped(editor));
  auto active = [&] {
    std::string id = desktop.Run("/usr/bin/xdotool", {"getactivewindow"});
    while (!id.empty() && id.back() == '\n') id.pop_back();
    return id.empty() ? -1L : std::stol(id);
  };
  EXPECT_TRUE(WaitUntil([&] { return active() == std::stol(editor, nullptr, 16); }, 10s))
      << active() << " " << editor;
  player->Signal(SIGTERM);
  EXPECT_EQ(player->Wait(30s), 0);
}

}  // namespace
}  // namespace tw
