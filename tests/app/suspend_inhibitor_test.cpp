// The player keeping the computer awake while a station plays, seen from the
// desktop's side: a stand-in for the desktop portal (and for logind) of the
// test's own on private buses records what the player asks for and lets go of.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusUnixFileDescriptor>
#include <QDBusVirtualObject>
#include <QVariantMap>
#include <csignal>
#include <filesystem>
#include <memory>
#include <mutex>
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

class Bus {
 public:
  Bus() : daemon_("/usr/bin/dbus-daemon", {"--session", "--print-address", "--nofork"}, {}) {
    if (daemon_.WaitForOutput("\n", 30s)) {
      address_ = daemon_.output().substr(0, daemon_.output().find('\n'));
    }
  }
  const std::string& address() const { return address_; }

 private:
  ChildProcess daemon_;
  std::string address_;
};

// What the stand-in does with an Inhibit call.
enum class Answer { kGrant, kRefuse, kNever, kWhenTold };

// org.freedesktop.portal.Desktop's Inhibit and its request objects' Close, or
// logind's Inhibit (a pipe's write end as the lock), recorded as lines:
// "Inhibit <flags> <reason>", "Close <n>" (n: the request's number), "Logind
// <what> <who> <why> <mode>".
class StandIn : public QDBusVirtualObject {
 public:
  StandIn(const std::string& address, const char* name, const char* service, Answer answer)
      : connection_(QDBusConnection::connectToBus(QString::fromStdString(address), name)),
        answer_(answer) {
    connection_.registerVirtualObject("/org/freedesktop", this, QDBusConnection::SubPath);
    connection_.registerService(service);
  }
  ~StandIn() override {
    connection_.unregisterObject("/org/freedesktop");
    QDBusConnection::disconnectFromBus(connection_.name());
    for (int fd : pipes_) ::close(fd);
  }

  QString introspect(const QString&) const override { return {}; }
  bool handleMessage(const QDBusMessage& call, const QDBusConnection& connection) override {
    std::lock_guard lock(mutex_);
    const QList<QVariant> args = call.arguments();
    if (call.member() == "Inhibit" && call.signature() == "sua{sv}") {
      events_.push_back("Inhibit " + std::to_string(args[1].toUInt()) + " " +
                        qdbus_cast<QVariantMap>(args[2]).value("reason").toString().toStdString());
      if (answer_ == Answer::kNever) return true;
      if (answer_ == Answer::kWhenTold) {
        held_.push_back(call);
        return true;
      }
      if (answer_ == Answer::kRefuse) {
        connection.send(call.createErrorReply("org.freedesktop.portal.Error.NotAllowed", "no"));
        return true;
      }
      connection.send(call.createReply(QVariant::fromValue(QDBusObjectPath(
          QString("/org/freedesktop/portal/desktop/request/1/t%1").arg(++requests_)))));
      return true;
    }
    if (call.member() == "Inhibit" && call.signature() == "ssss") {
      events_.push_back("Logind " + args[0].toString().toStdString() + " " +
                        args[1].toString().toStdString() + " " + args[2].toString().toStdString() +
                        " " + args[3].toString().toStdString());
      int ends[2];
      if (::pipe(ends) != 0) return false;
      connection.send(call.createReply(QVariant::fromValue(QDBusUnixFileDescriptor(ends[1]))));
      ::close(ends[1]);  // the player's copy is the only one left
      pipes_.push_back(ends[0]);
      return true;
    }
    if (call.member() == "Close" && call.interface() == "org.freedesktop.portal.Request") {
      events_.push_back("Close " + call.path().section('t', -1).toStdString());
      connection.send(call.createReply());
      return true;
    }
    return false;
  }

  // Grants the Inhibit calls held so far (Answer::kWhenTold).
  void AnswerNow(const QDBusConnection& connection) {
    std::lock_guard lock(mutex_);
    for (const QDBusMessage& call : held_) {
      connection.send(call.createReply(QVariant::fromValue(QDBusObjectPath(
          QString("/org/freedesktop/portal/desktop/request/1/t%1").arg(++requests_)))));
    }
    held_.clear();
  }
  const QDBusConnection& connection() const { return connection_; }

  std::vector<std::string> Events() const {
    std::lock_guard lock(mutex_);
    return events_;
  }
  // Whether every lock logind's stand-in handed out is let go (its pipe sees the
  // end), and how many there were.
  bool LocksReleased(std::size_t* count) const {
    std::lock_guard lock(mutex_);
    *count = pipes_.size();
    for (int fd : pipes_) {
      char byte;
      fd_set ready;
      FD_ZERO(&ready);
      FD_SET(fd, &ready);
      timeval none{};
      if (::select(fd + 1, &ready, nullptr, nullptr, &none) != 1 || ::read(fd, &byte, 1) != 0) {
        return false;
      }
    }
    return true;
  }

 private:
  QDBusConnection connection_;
  const Answer answer_;
  mutable std::mutex mutex_;
  std::vector<std::string> events_;
  std::vector<int> pipes_;
  std::vector<QDBusMessage> held_;
  int requests_ = 0;
};

// Polls `done` for up to `timeout`, letting the stand-ins answer meanwhile.
bool Eventually(const std::function<bool()>& done, std::chrono::milliseconds timeout = 30s) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    QCoreApplication::processEvents();
    std::this_thread::sleep_for(50ms);
  }
  return true;
}

using Events = std::vector<std::string>;

test::RadioServer::Route Station(bool endless) {
  test::RadioServer::Route route;
  route.statusLine = "ICY 200 OK";
  route.headers = {"Content-Type: audio/mpeg", "icy-name:Loopback FM"};
  test::ToneSpec tone;
  tone.seconds = 3;
  route.body = test::EncodeTone(test::AudioFormat::kMp3, tone);
  route.loopBody = endless;
  // A body of a known length ends the stream where it ends.
  if (!endless) route.headers.push_back("Content-Length: " + std::to_string(route.body.size()));
  route.bytesPerSecond = 16000;
  route.burstBytes = 32000;
  return route;
}

class Player {
 public:
  Player(const std::vector<std::string>& env, const std::string& stations) {
    fs::copy_file(TW_PROBE_EXE, folder_ / "tunewell");
    fs::create_directory(locks_ / "run");
    fs::permissions(locks_ / "run", fs::perms::owner_all, fs::perm_options::replace);
    folder_.Write("favorites.cfg", stations);
    // "No sound" is the engine's last device: with SDL's dummy driver, device 2.
    folder_.Write("radio_config.cfg", "[MAIN]\r\nLAST=0\r\nDevice=2\r\n");
    env_ = env;
    env_.insert(env_.end(), {"XDG_RUNTIME_DIR=" + (locks_ / "run").string(),
                             "QT_QPA_PLATFORM=offscreen", "SDL_AUDIODRIVER=dummy"});
    process_ = std::make_unique<ChildProcess>((folder_ / "tunewell").string(), env_);
  }
  ChildProcess& process() { return *process_; }
  // An MPRIS command, as media keys send it.
  void Command(const char* member) const {
    ChildProcess send(
        "/usr/bin/dbus-send",
        {"--session", "--print-reply", "--dest=org.mpris.MediaPlayer2.tunewell",
         "/org/mpris/MediaPlayer2", std::string("org.mpris.MediaPlayer2.Player.") + member},
        env_);
    send.Wait(30s);
  }

 private:
  TempFolder folder_;
  TempFolder locks_;
  std::vector<std::string> env_;
  std::unique_ptr<ChildProcess> process_;
};

// Catches a laptop suspending under a playing station, an inhibition that is
// never let go (at stop, at the stream's end, at quit), one taken while the
// player only connects, and one asked for twice per play.
TEST(SuspendInhibitor, PortalHeldExactlyWhileAStreamPlays) {
  Bus session;
  ASSERT_FALSE(session.address().empty());
  StandIn portal(session.address(), "portal", "org.freedesktop.portal.Desktop", Answer::kGrant);
  test::RadioServer server;
  server.Serve("/live", Station(true));
  auto slow = Station(true);
  slow.delayMs = 2500;
  server.Serve("/slow", slow);
  server.Serve("/ends", Station(false));
  Player player({"DBUS_SESSION_BUS_ADDRESS=" + session.address()},
                "[001]\r\nPath=" + server.Url("/live") + "\r\nTitle=Live\r\n" +
                    "[002]\r\nPath=" + server.Url("/slow") + "\r\nTitle=Slow\r\n" +
                    "[003]\r\nPath=" + server.Url("/ends") + "\r\nTitle=Ends\r\n");
  ASSERT_TRUE(player.process().WaitForOutput("RUNNING", 60s)) << player.process().output();
  std::this_thread::sleep_for(1s);
  EXPECT_EQ(portal.Events(), Events{}) << "asked while stopped";

  player.Command("Play");
  ASSERT_TRUE(Eventually([&] { return portal.Events().size() == 1; }));
  EXPECT_EQ(portal.Events(), Events{"Inhibit 12 Playing Loopback FM"});
  player.Command("Stop");
  ASSERT_TRUE(Eventually([&] { return portal.Events().size() == 2; }));
  EXPECT_EQ(portal.Events()[1], "Close 1");

  // Next: a station that answers late. Nothing while it connects.
  player.Command("Next");
  ASSERT_TRUE(server.WaitForRequests("/slow", 1, 30s));
  std::this_thread::sleep_for(1500ms);
  EXPECT_EQ(portal.Events().size(), 2u) << "asked while connecting";
  ASSERT_TRUE(Eventually([&] { return portal.Events().size() == 3; }));
  // Next again, to the station whose stream ends after 3 s: let go, asked again,
  // let go at the end.
  player.Command("Next");
  ASSERT_TRUE(Eventually([&] { return portal.Events().size() == 6; }))
      << ::testing::PrintToString(portal.Events()) << player.process().output();
  EXPECT_EQ(portal.Events(),
            (Events{"Inhibit 12 Playing Loopback FM", "Close 1", "Inhibit 12 Playing Loopback FM",
                    "Close 2", "Inhibit 12 Playing Loopback FM", "Close 3"}));

  // Playing at quit.
  player.Command("Previous");
  player.Command("Previous");
  ASSERT_TRUE(Eventually([&] { return portal.Events().size() >= 7; }));
  player.process().Signal(SIGTERM);
  EXPECT_EQ(player.process().Wait(30s), 0);
  // The last call may still wait for the stand-in to read it.
  Eventually([&] { return portal.Events().back().rfind("Close", 0) == 0; }, 5s);
  const Events events = portal.Events();
  ASSERT_GE(events.size(), 2u);
  // Every Inhibit is closed, the last one at quit.
  int open = 0;
  for (const std::string& event : events) open += event.rfind("Inhibit", 0) == 0 ? 1 : -1;
  EXPECT_EQ(open, 0) << ::testing::PrintToString(events);
  EXPECT_EQ(events.back(), "Close " + std::to_string(events.size() / 2));
}

// Catches a portal that refuses or never answers taking the player down with it
// (a hang, a crash, a stop that does not stop), a late answer leaving the
// computer awake for good, and the fallback to logind when no portal runs: its
// lock held while playing and closed at stop.
TEST(SuspendInhibitor, RefusingOrSilentPortalAndTheLogindFallback) {
  test::RadioServer server;
  server.Serve("/live", Station(true));
  const std::string stations = "[001]\r\nPath=" + server.Url("/live") + "\r\nTitle=Live\r\n";
  for (Answer answer : {Answer::kRefuse, Answer::kNever}) {
    SCOPED_TRACE(answer == Answer::kRefuse ? "refusing portal" : "silent portal");
    Bus session;
    StandIn portal(session.address(), "portal", "org.freedesktop.portal.Desktop", answer);
    Player player({"DBUS_SESSION_BUS_ADDRESS=" + session.address()}, stations);
    ASSERT_TRUE(player.process().WaitForOutput("RUNNING", 60s));
    player.Command("Play");
    ASSERT_TRUE(player.process().WaitForOutput("Label4=[Loopback FM]", 30s));
    ASSERT_TRUE(Eventually([&] { return portal.Events().size() == 1; }));
    player.Command("Stop");
    EXPECT_TRUE(player.process().WaitForOutput("Label4=[]", 30s)) << player.process().output();
    player.Command("Play");
    ASSERT_TRUE(Eventually([&] { return portal.Events().size() == 2; }));
    player.process().Signal(SIGTERM);
    EXPECT_EQ(player.process().Wait(30s), 0);
    EXPECT_EQ(portal.Events(),
              (Events{"Inhibit 12 Playing Loopback FM", "Inhibit 12 Playing Loopback FM"}));
  }
  {
    SCOPED_TRACE("a portal that answers after the stop: its request is closed then");
    Bus session;
    StandIn portal(session.address(), "portal", "org.freedesktop.portal.Desktop",
                   Answer::kWhenTold);
    Player player({"DBUS_SESSION_BUS_ADDRESS=" + session.address()}, stations);
    ASSERT_TRUE(player.process().WaitForOutput("RUNNING", 60s));
    player.Command("Play");
    ASSERT_TRUE(Eventually([&] { return portal.Events().size() == 1; }));
    player.Command("Stop");
    EXPECT_TRUE(player.process().WaitForOutput("Label4=[]", 30s)) << player.process().output();
    portal.AnswerNow(portal.connection());
    EXPECT_TRUE(Eventually([&] { return portal.Events().size() == 2; }))
        << ::testing::PrintToString(portal.Events());
    EXPECT_EQ(portal.Events().back(), "Close 1");
    player.process().Signal(SIGTERM);
    EXPECT_EQ(player.process().Wait(30s), 0);
  }
  {
    SCOPED_TRACE("no portal: logind on the system bus");
    Bus session;
    Bus system;
    StandIn logind(system.address(), "logind", "org.freedesktop.login1", Answer::kGrant);
    Player player({"DBUS_SESSION_BUS_ADDRESS=" + session.address(),
                   "DBUS_SYSTEM_BUS_ADDRESS=" + system.address()},
                  stations);
    ASSERT_TRUE(player.process().WaitForOutput("RUNNING", 60s));
    player.Command("Play");
    ASSERT_TRUE(Eventually([&] { return logind.Events().size() == 1; }));
    EXPECT_EQ(logind.Events(), Events{"Logind sleep:idle Tunewell Playing Loopback FM block"});
    std::size_t locks = 0;
    EXPECT_FALSE(logind.LocksReleased(&locks));
    player.Command("Stop");
    EXPECT_TRUE(Eventually([&] { return logind.LocksReleased(&locks); }));
    EXPECT_EQ(locks, 1u);
    player.process().Signal(SIGTERM);
    EXPECT_EQ(player.process().Wait(30s), 0);
  }
}

}  // namespace
}  // namespace tw
